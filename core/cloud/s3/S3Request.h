// Running S3 calls: a signed http::Request for a Call, and the three ways its answer is read
// (nothing, an XML document, or the answer's headers). Error answers become http::Error whose
// text is "S3 HTTP ", the status and the server's message, without the URL.
#pragma once

#include <memory>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "core/cloud/http/Request.h"
#include "core/cloud/s3/S3Address.h"
#include "core/config/Accounts.h"

namespace KVO_Core::s3 {

using http::Headers;
using http::note_header;

// Constructed and signed, ready for a payload, a header callback and perform(). Throws
// http::Error 37 before anything is sent when the account's address is not allowed.
std::unique_ptr<http::Request> request_for(SshAccount const& account, Call const& call);
// Runs a call whose answer carries nothing; a PUT goes with an empty body. Throws on any error
// answer, and on a 200 that holds an error document.
void send(SshAccount const& account, Call const& call);
// Runs a call whose answer is an XML document and gives it parsed.
boost::property_tree::ptree answered_xml(SshAccount const& account, Call const& call);
// Throws the http::Error of an error answer.
[[noreturn]] void fail(http::Request const& request, long status);
}  // namespace KVO_Core::s3
