#include "verify/verdict_output.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/utf8.h"
#include "verify/status_text.h"

namespace {

using Json = nlohmann::ordered_json;

std::string PathText(const FileVerdict& verdict) {
  return platform::EncodeUtf8(verdict.path.data(), verdict.path.size());
}

std::string StatusHex(uint32_t status) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", status);
  return text;
}

Json OrNull(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(text);
}

}  // namespace

std::string FormatTextLine(const FileVerdict& verdict) {
  std::string line = PathText(verdict) + ": ";
  if (verdict.trusted()) {
    const CertificateDetails none;
    const CertificateDetails& signer = verdict.signer ? *verdict.signer : none;
    line += "trusted, signed by \"" + signer.subject + "\" (issuer \"" + signer.issuer + "\")";
    if (verdict.timestamp) {
      line += ", timestamp " + verdict.timestamp->time + " by \"" + verdict.timestamp->signer + "\"";
    }
  } else {
    const StatusText text = DescribeStatus(verdict.status);
    line += "NOT TRUSTED: " + text.name + " (0x" + StatusHex(verdict.status) + "): " +
            (!verdict.error.empty()         ? verdict.error
             : !verdict.explanation.empty() ? verdict.explanation
                                            : text.explanation);
  }
  return line + "\n";
}

std::string FormatJsonLine(const FileVerdict& verdict) {
  Json object;
  object["path"] = PathText(verdict);
  object["trusted"] = verdict.trusted();
  object["status"] = StatusHex(verdict.status);
  object["status_name"] = DescribeStatus(verdict.status).name;
  object["format"] = OrNull(verdict.format);
  object["digest_algorithm"] = OrNull(verdict.digestAlgorithm);
  if (verdict.signer) {
    object["signer"] = {{"subject", verdict.signer->subject},
                        {"issuer", verdict.signer->issuer},
                        {"serial", verdict.signer->serial},
                        {"sha1", verdict.signer->sha1},
                        {"key_hash", verdict.signer->keyHash}};
  } else {
    object["signer"] = nullptr;
  }
  if (verdict.timestamp) {
    object["timestamp"] = {{"time", verdict.timestamp->time}, {"signer", verdict.timestamp->signer}};
  } else {
    object["timestamp"] = nullptr;
  }
  object["chain"] = verdict.chain;
  object["error"] = OrNull(verdict.error);
  return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}
