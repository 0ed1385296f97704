// Ed25519 signatures of client builds: the publisher's key pair, the signed statement that
// names one build, and the client's check of such a statement against the publishers' keys.
#include "BuildSignature.h"

#include <cerrno>
#include <charconv>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "FileIO.h"
#include "HexText.h"
#include "OpenSslOwners.h"
#include "UniqueFd.h"

namespace {

// The bytes that lower-case `hex` spells, or nothing when it spells none.
std::optional<std::string> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdef") != std::string_view::npos) {
    return std::nullopt;
  }
  std::string bytes;
  for (std::size_t at = 0; at < hex.size(); at += 2) {
    unsigned value = 0;
    std::from_chars(hex.data() + at, hex.data() + at + 2, value, 16);
    bytes += static_cast<char>(value);
  }
  return bytes;
}

// A small regular file, read only when it is no larger than `most` bytes.
bool ReadSmallFile(const std::string& path, std::size_t most, std::string& bytes) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) > most) {
    return false;
  }
  bytes.assign(most + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    const ssize_t count = ::read(fd.Get(), bytes.data() + got, bytes.size() - got);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
    if (got > most) return false;  // it grew while it was read
  }
  bytes.resize(got);
  return true;
}

// "NAME VALUE" as the whole of `line`: the value, or nothing.
std::optional<std::string_view> Field(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() + 1 || line.substr(0, name.size()) != name ||
      line[name.size()] != ' ') {
    return std::nullopt;
  }
  return line.substr(name.size() + 1);
}

template <typename Number>
std::optional<Number> Decimal(std::optional<std::string_view> text) {
  Number value{};
  if (!text || text->empty() || text->front() == '-' || text->front() == '+') return std::nullopt;
  const auto [stop, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || stop != text->data() + text->size()) return std::nullopt;
  return value;
}

// The four signed lines of a statement, each ending in a line feed.
std::string SignedLines(const BuildStatement& statement) {
  return std::string(BuildSignature::kFormatLine) + "\nsha256 " + statement.sha256 + "\nsize " +
         std::to_string(statement.size) + "\ndate " + std::to_string(statement.date) + "\n";
}

// The statement a text holds, and its signature, when the text has exactly the statement's
// form (the same lines as SignedLines would write, and the signature line).
struct ParsedStatement {
  BuildStatement statement;
  std::string signed_lines;
  std::string signature;
};

std::optional<ParsedStatement> Parse(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // every line ends in a line feed
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (lines.size() != 5 || lines[0] != BuildSignature::kFormatLine) return std::nullopt;
  ParsedStatement parsed;
  const auto sha = Field(lines[1], "sha256");
  const auto size = Decimal<std::uint64_t>(Field(lines[2], "size"));
  const auto date = Decimal<std::int32_t>(Field(lines[3], "date"));
  const auto signature = Field(lines[4], "signature");
  if (!sha || sha->size() != 64 || !FromHex(*sha) || !size || !date || !signature) {
    return std::nullopt;
  }
  parsed.statement = BuildStatement{std::string(*sha), *size, *date};
  // Written back exactly: a text that says the same in another spelling is no statement.
  parsed.signed_lines = SignedLines(parsed.statement);
  const auto raw = FromHex(*signature);
  if (!raw || raw->size() != BuildSignature::kSize) return std::nullopt;
  parsed.signature = *raw;
  return parsed;
}

// The library's reason for the last failure, and an empty error queue afterwards.
std::string LibraryReason() {
  const unsigned long code = ERR_get_error();
  char reason[256] = "no detail";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  return reason;
}

// No pass phrase is ever asked for on the terminal: an encrypted key simply fails to load.
int NoPassPhrase(char*, int, int, void*) { return -1; }

KeyPointer ReadKey(const std::string& path, bool private_key) {
  KeyPointer key;
  BioPointer in(BIO_new_file(path.c_str(), "r"));
  if (in != nullptr) {
    key.reset(private_key ? PEM_read_bio_PrivateKey(in.get(), nullptr, NoPassPhrase, nullptr)
                          : PEM_read_bio_PUBKEY(in.get(), nullptr, NoPassPhrase, nullptr));
  }
  if (key != nullptr && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) key.reset();
  return key;
}

std::string PemText(EVP_PKEY* key, bool private_key) {
  BioPointer out(BIO_new(BIO_s_mem()));
  if (out == nullptr) return {};
  const int written =
      private_key ? PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                  : PEM_write_bio_PUBKEY(out.get(), key);
  char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return written == 1 && size > 0 ? std::string(data, static_cast<std::size_t>(size))
                                  : std::string();
}

}  // namespace

bool BuildSignature::MakeKeyPair(const std::string& private_path, const std::string& public_path,
                                 std::string& error) {
  KeyPointer key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (key == nullptr) {
    error = "cannot generate an Ed25519 key: " + LibraryReason();
    return false;
  }
  const std::string private_text = PemText(key.get(), true);
  const std::string public_text = PemText(key.get(), false);
  if (private_text.empty() || public_text.empty()) {
    error = "cannot encode the key: " + LibraryReason();
    return false;
  }
  FileWriteFailure failure;
  if (!WriteNewFile(private_path, private_text, FileMode{0600, true}, failure)) {
    error = failure.text;
    return false;
  }
  if (!WriteNewFile(public_path, public_text, FileMode{0644, true}, failure)) {
    error = failure.text;
    ::unlink(private_path.c_str());  // half a pair is of no use
    return false;
  }
  return true;
}

std::string BuildSignature::Sign(const std::string& private_path, std::string_view bytes,
                                 std::string& error) {
  const KeyPointer key = ReadKey(private_path, true);
  if (key == nullptr) {
    ERR_clear_error();
    error = "cannot read an Ed25519 private key (unencrypted PEM) from " + private_path;
    return {};
  }
  DigestContextPointer context(EVP_MD_CTX_new());
  std::string signature(kSize, '\0');
  std::size_t length = signature.size();
  if (context == nullptr ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1 ||
      length != kSize) {
    error = "cannot sign: " + LibraryReason();
    return {};
  }
  return signature;
}

bool BuildSignature::Verify(const std::string& public_path, std::string_view bytes,
                            std::string_view signature) {
  const KeyPointer key = ReadKey(public_path, false);
  DigestContextPointer context(EVP_MD_CTX_new());
  const bool valid =
      key != nullptr && context != nullptr && signature.size() == kSize &&
      EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
      EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size()) == 1;
  ERR_clear_error();
  return valid;
}

std::string BuildSignature::Sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    ERR_clear_error();
    return {};
  }
  return HexText({reinterpret_cast<const char*>(digest), length});
}

std::string BuildSignature::MakeStatement(const std::string& private_path, std::string_view build,
                                          std::int32_t date, std::string& error) {
  const std::string lines = SignedLines(BuildStatement{Sha256Hex(build), build.size(), date});
  const std::string signature = Sign(private_path, lines, error);
  if (signature.empty()) return {};
  return lines + "signature " + HexText(signature) + "\n";
}

std::optional<BuildStatement> BuildSignature::ReadStatement(const std::vector<std::string>& keys,
                                                            const std::string& path) {
  std::string text;
  if (!ReadSmallFile(path, kMaxFileSize, text)) return std::nullopt;
  const auto parsed = Parse(text);
  if (!parsed || parsed->signed_lines + "signature " + HexText(parsed->signature) + "\n" != text) {
    return std::nullopt;
  }
  for (const std::string& key : keys) {
    if (Verify(key, parsed->signed_lines, parsed->signature)) return parsed->statement;
  }
  return std::nullopt;
}

std::optional<BuildStatement> BuildSignature::ReadUnverified(const std::string& path) {
  std::string text;
  if (!ReadSmallFile(path, kMaxFileSize, text)) return std::nullopt;
  const auto parsed = Parse(text);
  if (!parsed) return std::nullopt;
  return parsed->statement;
}
