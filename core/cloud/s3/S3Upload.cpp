#include <fstream>
#include <vector>

#include "core/cloud/LocalTransfer.h"
#include "core/cloud/UploadPieces.h"
#include "core/cloud/s3/S3Listing.h"
#include "core/cloud/s3/S3Request.h"
#include "core/cloud/s3/S3Store.h"
#include "utilities/Translation.h"

namespace KVO_Core::s3 {

namespace {

using Utilities::FilesystemUtil::FileInfoResult;

// Files up to this size go in one PUT; larger ones in parts of this size.
constexpr std::uint64_t s3_part_size = 16 * 1024 * 1024;

// Best effort: the failure that led here is the one the caller hears of.
void abandon_upload(SshAccount const& account, Place const& place, std::string const& upload_id) {
  try {
    request_for(account, {"DELETE", place.bucket, place.key, {{"uploadId", upload_id}}, {}})
        ->perform();
  } catch (std::exception const&) {
  }
}

bool status_ok(std::optional<long> const& status) {
  return status && *status >= 200 && *status <= 299;
}

// Sends the parts and completes the upload; nullopt when a stop request ended a part.
std::optional<CopyResult> send_parts(SshAccount const& account, Place const& place,
                                     std::string const& upload_id, std::ifstream& in,
                                     std::uint64_t size) {
  std::string document = "<CompleteMultipartUpload>";
  std::vector<UploadPiece> const pieces = upload_pieces(size, s3_part_size);
  for (std::size_t index = 0; index < pieces.size(); ++index) {
    std::string const number = std::to_string(index + 1);
    std::unique_ptr<http::Request> const request = request_for(
        account,
        {"PUT", place.bucket, place.key, {{"partNumber", number}, {"uploadId", upload_id}}, {}});
    // The stream goes on where the last part ended; the offset only counts the progress.
    request->upload_from(in, pieces[index].count, pieces[index].offset);
    Headers headers;
    request->on_header(note_header, &headers);
    std::optional<long> const status = request->perform();
    if (!status) return std::nullopt;
    if (!status_ok(status)) fail(*request, *status);
    document +=
        "<Part><PartNumber>" + number + "</PartNumber><ETag>" + headers["etag"] + "</ETag></Part>";
  }
  std::unique_ptr<http::Request> const request =
      request_for(account, {"POST", place.bucket, place.key, {{"uploadId", upload_id}}, {}});
  request->body(document + "</CompleteMultipartUpload>");
  std::optional<long> const status = request->perform();
  if (!status_ok(status)) fail(*request, status.value_or(0));
  // S3 may answer 200 and still fail the completion in the answer's body.
  if (request->response.find("<Error>") != std::string::npos) fail(*request, 200);
  return CopyResult::Done;
}

}  // namespace

CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote) {
  local_transfer::Source source;
  local_transfer::open_source(local, source);
  Place const place = place_of(remote);
  // Without a key the request would address, and a PUT create, the bucket itself.
  if (place.key.empty())
    throw http::Error(FileInfoResult::unknown_error,
                      Utilities::translation::translate_utf8("s3_not_an_object") + remote);
  std::string const mtime = std::to_string(source.mtime);

  if (source.size <= s3_part_size) {
    std::unique_ptr<http::Request> const request =
        request_for(account, {"PUT", place.bucket, place.key, {}, {{MTIME_HEADER, mtime}}});
    request->upload_from(source.in, source.size, 0);
    std::optional<long> const status = request->perform();
    if (!status) return CopyResult::Cancelled;
    if (!status_ok(status)) fail(*request, *status);
    return CopyResult::Done;
  }

  boost::property_tree::ptree const started = answered_xml(
      account, {"POST", place.bucket, place.key, {{"uploads", ""}}, {{MTIME_HEADER, mtime}}});
  std::string const upload_id =
      started.get<std::string>("InitiateMultipartUploadResult.UploadId", "");
  if (upload_id.empty())
    throw http::Error(FileInfoResult::unknown_error, "S3 named no multipart upload");
  try {
    if (std::optional<CopyResult> const done =
            send_parts(account, place, upload_id, source.in, source.size))
      return *done;
  } catch (...) {
    abandon_upload(account, place, upload_id);
    throw;
  }
  abandon_upload(account, place, upload_id);
  return CopyResult::Cancelled;
}

}  // namespace KVO_Core::s3
