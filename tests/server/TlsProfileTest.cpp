// The data server's TLS profile and its certificate reload, probed with openssl s_client.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "DataFrame.h"
#include "ServerTestSupport.h"

namespace {

struct Probe {
  std::vector<std::string> options;
  bool accepted;
};

// A handshake with `options` added; the outcome holds what s_client printed.
CommandOutcome Handshake(const HospdProcess& server, const std::vector<std::string>& options) {
  std::vector<std::string> arguments = {"s_client", "-connect",
                                        "127.0.0.1:" + std::to_string(server.DataPort())};
  arguments.insert(arguments.end(), options.begin(), options.end());
  return RunProgram("openssl", arguments, "", std::chrono::seconds(20));
}

std::string PemIn(const std::string& text) {
  const auto begin = text.find("-----BEGIN CERTIFICATE-----");
  const std::string end_line = "-----END CERTIFICATE-----";
  const auto end = text.find(end_line, begin);
  if (begin == std::string::npos || end == std::string::npos) return {};
  return text.substr(begin, end + end_line.size() - begin);
}

// A new self-signed P-256 pair at the two paths.
void MakePair(const std::string& certificate, const std::string& key) {
  const CommandOutcome made = RunProgram(
      "openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                  "-keyout", key, "-out", certificate, "-days", "2", "-subj", "/CN=localhost"});
  ASSERT_EQ(made.status, 0) << made.err;
}

bool WaitForLog(const HospdProcess& server, const std::string& text) {
  for (int i = 0; i < 100; ++i) {
    if (server.LogText().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

// Only TLS 1.2 and 1.3, only forward-secret AEAD suites, only the three groups.
TEST(TlsProfileTest, OffersOnlyTheProfile) {
  const HospdProcess server;
  const std::vector<Probe> probes = {
      {{"-tls1_1", "-cipher", "ALL:@SECLEVEL=0"}, false},
      {{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA"}, false},     // CBC
      {{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA256"}, false},  // CBC
      {{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-CCM"}, false},     // CCM
      {{"-tls1_2", "-cipher", "ECDHE-ECDSA-ARIA128-GCM-SHA256"}, false},
      {{"-tls1_2", "-cipher", "ECDHE-ECDSA-CAMELLIA128-SHA256"}, false},
      {{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES256-GCM-SHA384"}, true},
      {{"-tls1_2", "-cipher", "ECDHE-ECDSA-CHACHA20-POLY1305"}, true},
      {{"-tls1_3", "-ciphersuites", "TLS_AES_128_CCM_SHA256"}, false},
      {{"-tls1_3", "-ciphersuites", "TLS_CHACHA20_POLY1305_SHA256"}, true},
      {{"-tls1_3", "-groups", "X448:P-521:ffdhe2048"}, false},
      {{"-tls1_3", "-groups", "X25519"}, true},
      {{"-tls1_3", "-groups", "P-384"}, true},
  };
  for (const Probe& probe : probes) {
    const CommandOutcome outcome = Handshake(server, probe.options);
    std::string shown;
    for (const auto& option : probe.options) shown += option + " ";
    EXPECT_EQ(outcome.status == 0, probe.accepted) << shown << "\n" << outcome.out << outcome.err;
  }
  // The server's order wins over the client's.
  const CommandOutcome ordered = Handshake(
      server,
      {"-tls1_2", "-cipher", "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256"});
  EXPECT_NE(ordered.out.find("Cipher is ECDHE-ECDSA-AES128-GCM-SHA256"), std::string::npos)
      << ordered.out;
}

// SIGHUP: new connections get the new pair, an open one keeps working; a pair that does not
// match leaves the last good one in use, and the log says why.
TEST(TlsProfileTest, ReloadsTheCertificateOnSighup) {
  HospdProcess server;
  const std::string certificate = server.DataDir() + "/server.crt";
  const std::string key = server.DataDir() + "/server.key";
  const std::string first = PemIn(ReadBytes(certificate));
  const auto open = OpenDataConnection(server);
  ASSERT_TRUE(open->IsConnected());

  MakePair(certificate, key);
  const std::string second = PemIn(ReadBytes(certificate));
  ASSERT_NE(first, second);
  server.Signal(SIGHUP);
  ASSERT_TRUE(WaitForLog(server, "certificate reloaded")) << server.LogText();
  EXPECT_EQ(PemIn(Handshake(server, {}).out), second);
  EXPECT_TRUE(open->SendMessage(FrameType::Date, FrameSubtype::None, "")) << "the open connection";

  TempFolder other;
  MakePair(other.Path("other.crt"), other.Path("other.key"));
  WriteBytes(key, ReadBytes(other.Path("other.key")));  // a key of another certificate
  server.Signal(SIGHUP);
  ASSERT_TRUE(WaitForLog(server, "certificate not reloaded")) << server.LogText();
  EXPECT_NE(server.LogText().find("key values mismatch"), std::string::npos) << server.LogText();
  EXPECT_EQ(PemIn(Handshake(server, {}).out), second);
}

// `hospd init --cert-days N` makes a certificate that ends N days from now.
TEST(TlsProfileTest, InitSetsTheCertificateLifetime) {
  TempFolder folder;
  const std::string data = folder.Path("data");
  const CommandOutcome made = RunHospd({"init", "--data", data, "--cert-days", "30"});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string certificate = data + "/server.crt";
  EXPECT_EQ(RunProgram("openssl", {"x509", "-in", certificate, "-noout", "-checkend",
                                   std::to_string(29 * 86400)})
                .status,
            0);
  EXPECT_NE(RunProgram("openssl", {"x509", "-in", certificate, "-noout", "-checkend",
                                   std::to_string(31 * 86400)})
                .status,
            0);
}
