// Signs audit records into a chain: each MAC covers the previous record's MAC and the content.
#include "audit/AuditSigner.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "HexText.h"
#include "OpenSslOwners.h"

namespace {

// Changes whenever the encoding does, so that records of another encoding never verify.
constexpr std::string_view kEncodingTag = "hosp-audit-1";

void AppendField(std::string& out, std::string_view field) {
  const auto size = static_cast<std::uint32_t>(field.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(size >> shift));
  out.append(field);
}

}  // namespace

std::string CanonicalContent(const AuditRecord& record) {
  std::string out;
  for (const std::string_view field :
       {kEncodingTag, std::string_view(record.previous_mac), std::string_view(record.recorded_at),
        std::string_view(record.event)}) {
    AppendField(out, field);
  }
  AppendField(out, std::to_string(record.case_seq));
  AppendField(out, std::to_string(record.approval_seq));
  for (const std::string* field : {&record.staff, &record.client_address, &record.server}) {
    AppendField(out, *field);
  }
  return out;
}

std::string AuditSigner::Mac(const AuditRecord& record) const {
  const MacPointer mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  const MacContextPointer context(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  const std::string content = CanonicalContent(record);
  unsigned char out[EVP_MAX_MD_SIZE];
  std::size_t size = 0;
  const auto* key = reinterpret_cast<const unsigned char*>(key_.Bytes().data());
  if (!context || EVP_MAC_init(context.get(), key, key_.Bytes().size(), params) != 1 ||
      EVP_MAC_update(context.get(), reinterpret_cast<const unsigned char*>(content.data()),
                     content.size()) != 1 ||
      EVP_MAC_final(context.get(), out, &size, sizeof out) != 1) {
    throw std::runtime_error("HMAC-SHA256 is not available");
  }
  return HexText({reinterpret_cast<const char*>(out), size});
}

void AuditSigner::Chain(AuditRecord& record, const AuditRecord* last) const {
  record.seq = last == nullptr ? 1 : last->seq + 1;
  record.previous_mac = last == nullptr ? std::string() : last->mac;
  record.mac = Mac(record);
}

std::string UtcTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char fraction[8] = {};
  std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(millis));
  return std::string(text) + fraction;
}
