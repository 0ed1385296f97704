// Tests of the server identity checks of the TLS client against real certificates.
#include "ServerIdentity.h"

#include <cctype>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "OpenSslOwners.h"
#include "SecureSocket.h"
#include "TlsTestSupport.h"

namespace {

using namespace tls_test;

CertificateDetails CommonNameOnly(const std::string& name) {
  CertificateDetails details(name);
  details.alt_name = false;
  return details;
}

// The certificates of one world: two authorities, servers they issued, self-signed ones.
struct World {
  TempDir dir;
  Credentials authority = MakeAuthority(dir, "Ward CA");
  Credentials stranger = MakeAuthority(dir, "Stranger CA");
  Credentials issued = MakeIssuedCredentials(dir, "issued", {"localhost"}, authority);
  Credentials issued_ip = MakeIssuedCredentials(dir, "issued-ip", {"127.0.0.1"}, authority);
  Credentials foreign = MakeIssuedCredentials(dir, "foreign", {"localhost"}, stranger);
  Credentials other_name = MakeIssuedCredentials(dir, "other", {"db.other.example"}, authority);
  Credentials common_name_only =
      MakeIssuedCredentials(dir, "cn-only", CommonNameOnly("localhost"), authority);
  Credentials expired =
      MakeIssuedCredentials(dir, "expired", {"localhost", -2 * 86400, -86400}, authority);
  Credentials self_signed = MakeCredentials(dir, "self", {"localhost"});
  Credentials second_self = MakeCredentials(dir, "second", {"localhost"});
};

World& TheWorld() {
  static World world;
  return world;
}

CertificateFingerprint FingerprintOf(const Credentials& credentials) {
  std::FILE* file = std::fopen(credentials.certificate_file.c_str(), "r");
  X509* certificate = file != nullptr ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
  if (file != nullptr) std::fclose(file);
  const auto fingerprint = ServerIdentity::Of(certificate);
  X509_free(certificate);
  return fingerprint.value_or(CertificateFingerprint{});
}

std::string Pin(const Credentials& credentials) {
  return ServerIdentity::Format(FingerprintOf(credentials));
}

// The same fingerprint in lower case without colons.
std::string BarePin(const Credentials& credentials) {
  std::string text;
  for (char c : Pin(credentials)) {
    if (c != ':') text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

struct IdentityRow {
  std::string name;
  std::function<const Credentials&(World&)> server;
  std::function<std::string(World&)> fingerprints;  // the "Fingerprint" text
  std::function<std::string(World&)> authority;     // the "CAFile" path
  std::string host;
  bool accepted;
};

void PrintTo(const IdentityRow& row, std::ostream* out) { *out << row.name; }

class ServerIdentityTest : public ::testing::TestWithParam<IdentityRow> {};

// The connection is made only when the server proves what is demanded; a server that fails
// is told nothing: not one byte of data reaches it.
TEST_P(ServerIdentityTest, ConnectsOnlyToAServerThatProvesItsIdentity) {
  const IdentityRow& row = GetParam();
  World& world = TheWorld();
  const Credentials& server = row.server(world);
  SslContextPointer context(SecureSocket::CreateContext(server.certificate_file.c_str(),
                                                        server.key_file.c_str(), nullptr, nullptr));
  ASSERT_NE(context, nullptr);
  std::string received;
  {
    ServerThread peer(context.get(), [&](SecureSocket& socket) {
      char buffer[64] = {};
      const int n = socket.ReadToNul(buffer, sizeof buffer - 1, 10, 0);
      if (n > 0) received = buffer;
    });
    SecureSocket client;
    client.server_identity.SetFingerprints(row.fingerprints ? row.fingerprints(world) : "");
    client.server_identity.SetAuthorityFile(row.authority ? row.authority(world) : "");
    ASSERT_TRUE(client.server_identity.Demanded());

    const int result = client.Connect(row.host.c_str(), peer.Port());
    EXPECT_EQ(result == SOCK_SUCCESS, row.accepted);
    EXPECT_EQ(client.identity_refused, !row.accepted);
    EXPECT_EQ(client.Send("ProgramID=Pellomarquin", 23), SOCK_SUCCESS);  // with its NUL
    client.Close();
  }
  EXPECT_EQ(received, row.accepted ? std::string("ProgramID=Pellomarquin") : std::string());
}

const auto kAuthority = [](World& world) { return world.authority.certificate_file; };

INSTANTIATE_TEST_SUITE_P(
    Demands, ServerIdentityTest,
    ::testing::Values(
        IdentityRow{"PinMatches", [](World& w) -> const Credentials& { return w.self_signed; },
                    [](World& w) { return Pin(w.self_signed); }, nullptr, "localhost", true},
        IdentityRow{"PinMismatch", [](World& w) -> const Credentials& { return w.self_signed; },
                    [](World& w) { return Pin(w.second_self); }, nullptr, "localhost", false},
        IdentityRow{"SeveralPinsOneMatches",
                    [](World& w) -> const Credentials& { return w.self_signed; },
                    [](World& w) { return Pin(w.second_self) + " ,\t" + BarePin(w.self_signed); },
                    nullptr, "127.0.0.1", true},
        IdentityRow{"MalformedPinAmongGoodOnesFailsClosed",
                    [](World& w) -> const Credentials& { return w.self_signed; },
                    [](World& w) { return Pin(w.self_signed) + ",AB:CD"; }, nullptr, "localhost",
                    false},
        IdentityRow{"ExpiredButPinnedIsTheSameCertificate",
                    [](World& w) -> const Credentials& { return w.expired; },
                    [](World& w) { return Pin(w.expired); }, nullptr, "localhost", true},
        IdentityRow{"AuthoritySignedTheServer",
                    [](World& w) -> const Credentials& { return w.issued; }, nullptr, kAuthority,
                    "localhost", true},
        IdentityRow{"AuthoritySignedTheServerAddress",
                    [](World& w) -> const Credentials& { return w.issued_ip; }, nullptr, kAuthority,
                    "127.0.0.1", true},
        IdentityRow{"AuthorityDidNotSign", [](World& w) -> const Credentials& { return w.foreign; },
                    nullptr, kAuthority, "localhost", false},
        IdentityRow{"SelfSignedUnderAuthority",
                    [](World& w) -> const Credentials& { return w.self_signed; }, nullptr,
                    kAuthority, "localhost", false},
        IdentityRow{"NameMismatch", [](World& w) -> const Credentials& { return w.other_name; },
                    nullptr, kAuthority, "localhost", false},
        // Current practice: the host name is checked against DNS alternative names only.
        IdentityRow{"CommonNameWithoutAltName",
                    [](World& w) -> const Credentials& { return w.common_name_only; }, nullptr,
                    kAuthority, "localhost", false},
        IdentityRow{"AddressMismatch", [](World& w) -> const Credentials& { return w.issued; },
                    nullptr, kAuthority, "127.0.0.1", false},
        IdentityRow{"ExpiredUnderAuthority",
                    [](World& w) -> const Credentials& { return w.expired; }, nullptr, kAuthority,
                    "localhost", false},
        IdentityRow{"UnreadableAuthorityFile",
                    [](World& w) -> const Credentials& { return w.issued; }, nullptr,
                    [](World& w) { return w.dir.Path("missing.crt"); }, "localhost", false},
        IdentityRow{"BothHold", [](World& w) -> const Credentials& { return w.issued; },
                    [](World& w) { return Pin(w.issued); }, kAuthority, "localhost", true},
        IdentityRow{"AuthorityHoldsPinDoesNot",
                    [](World& w) -> const Credentials& { return w.issued; },
                    [](World& w) { return Pin(w.issued_ip); }, kAuthority, "localhost", false}),
    [](const ::testing::TestParamInfo<IdentityRow>& row) { return row.param.name; });

// The forms of the "Fingerprint" key: either case, colons only between bytes.
TEST(ServerIdentityParseTest, ReadsTheFingerprintForms) {
  const std::string hex = "0b727016d90b19834a4fc65aa4094aab60d4caf321bdabced80616b9d27e9090";
  std::string colons;
  for (std::size_t i = 0; i < hex.size(); i += 2) colons += (i ? ":" : "") + hex.substr(i, 2);
  const auto expected = ServerIdentity::ParseFingerprint(hex);
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ(ServerIdentity::Format(*expected),
            "0B:72:70:16:D9:0B:19:83:4A:4F:C6:5A:A4:09:4A:AB:"
            "60:D4:CA:F3:21:BD:AB:CE:D8:06:16:B9:D2:7E:90:90");
  for (const std::string& good : {colons, ServerIdentity::Format(*expected)}) {
    EXPECT_EQ(ServerIdentity::ParseFingerprint(good), expected) << good;
  }
  for (const std::string& bad : {hex.substr(2), hex + "00", ":" + colons, colons + ":",
                                 "0" + colons.substr(1, 1) + "::" + colons.substr(3),
                                 "0:b" + colons.substr(2), hex.substr(1) + "g", std::string()}) {
    EXPECT_FALSE(ServerIdentity::ParseFingerprint(bad).has_value()) << bad;
  }
}

}  // namespace
