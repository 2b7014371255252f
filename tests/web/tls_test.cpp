// TLS of the administration through real clients: the web interface over
// HTTPS (cpp-httplib's client), the query TLS port and the certificate's
// fingerprint (openssl s_client), a certificate reload on SIGHUP, and the
// metrics endpoint behind TLS and basic authentication.
#include <cstdio>

#include "web_fixture.h"

namespace qv {
namespace webtest {
namespace {

// What the shell command prints on standard output.
std::string Shell(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// The SHA-256 fingerprint of the certificate a TLS port presents ("AB:CD:...").
std::string PresentedFingerprint(uint16_t port) {
  std::string line = Shell("timeout 30 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                           " </dev/null 2>/dev/null | openssl x509 -noout -fingerprint -sha256");
  const size_t at = line.find('=');
  return at == std::string::npos ? "<none>" : line.substr(at + 1, line.find('\n') - at - 1);
}

class TlsTest : public WebProcessTest {
 protected:
  std::string MoreIni() const override {
    return "WebTLS=1\nQueryTLSPort=" + std::to_string(queryTlsPort) + "\n[Metrics]\nEnabled=1\nPort=" +
           std::to_string(metricsPort) + "\nTLS=1\nUser=scraper\nPassword=s3cret\n";
  }
  std::string Printed(const std::string& label) {
    const std::string out = server_->Out();
    const size_t at = out.find(label);
    return at == std::string::npos ? "<not printed>" : out.substr(at + label.size(), out.find('\n', at) - at - label.size());
  }
  void MakeCertificate(const std::string& cert, const std::string& key) {
    Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=reloaded -keyout '" +
          key + "' -out '" + cert + "' 2>/dev/null");
  }

  const uint16_t queryTlsPort = FreePort(SOCK_STREAM);
  const uint16_t metricsPort = FreePort(SOCK_STREAM);
};

TEST_F(TlsTest, HttpsQueryTlsFingerprintAndReload) {
  // The first start made a self-signed certificate beside the database and
  // printed its fingerprint with the web address.
  for (const auto& [file, mode] : {std::pair<const char*, fs::perms>{"server.key", fs::perms(0600)},
                                   std::pair<const char*, fs::perms>{"server.crt", fs::perms(0640)}})
    EXPECT_EQ(fs::status(Path(file)).permissions() & fs::perms::all, mode) << file;
  const std::string fingerprint = Printed("Certificate SHA-256 fingerprint: ");
  EXPECT_EQ(fingerprint.size(), 95u) << server_->Out();
  EXPECT_EQ(Printed("Web interface: "), "https://127.0.0.1:" + std::to_string(httpPort) + "/");
  EXPECT_EQ(PresentedFingerprint(httpPort), fingerprint);
  EXPECT_EQ(PresentedFingerprint(queryTlsPort), fingerprint);
  EXPECT_FALSE(Has(Log(), "plain HTTP"));

  // The web interface over HTTPS: a Secure cookie, the https origin accepted.
  TBrowser admin(httpPort, true);
  ASSERT_TRUE(admin.LogIn("admin", "pw", Port()));
  EXPECT_TRUE(Has(admin.setCookie_, "; Secure")) << admin.setCookie_;
  EXPECT_TRUE(Has(admin.Page("/index.html"), "INDEX user=admin"));
  EXPECT_FALSE(TBrowser(httpPort).Get("/login.html")) << "no plain HTTP beside it";

  // The query protocol inside TLS, with the documented client.
  const std::string session = Shell("printf 'slogin root pw\\r\\nquit\\r\\n' | timeout 30 openssl s_client -quiet "
                                    "-connect 127.0.0.1:" + std::to_string(queryTlsPort) + " 2>/dev/null");
  EXPECT_EQ(session, "[QV]\r\nOK\r\n");

  // Metrics: TLS and basic authentication.
  httplib::Client metrics("https://127.0.0.1:" + std::to_string(metricsPort));
  metrics.enable_server_certificate_verification(false);
  EXPECT_EQ(metrics.Get("/metrics")->status, 401);
  metrics.set_basic_auth("scraper", "wrong");
  EXPECT_EQ(metrics.Get("/metrics")->status, 401);
  metrics.set_basic_auth("scraper", "s3cret");
  auto scraped = metrics.Get("/metrics");
  ASSERT_TRUE(scraped);
  EXPECT_EQ(scraped->status, 200);
  EXPECT_TRUE(Has(scraped->body, "quillvane_"));
  // Guessing the scrape password locks the address out; the right one is then
  // refused too, without being compared.
  metrics.set_basic_auth("scraper", "guess");
  int status = 0;
  for (int i = 0; i < 20 && status != 429; ++i) status = metrics.Get("/metrics")->status;
  EXPECT_EQ(status, 429);
  metrics.set_basic_auth("scraper", "s3cret");
  EXPECT_EQ(metrics.Get("/metrics")->status, 429);

  // SIGHUP: a new pair is taken for new connections; a broken one is refused
  // and the pair in use stays.
  MakeCertificate(Path("new.crt"), Path("new.key"));
  fs::rename(Path("new.crt"), Path("server.crt"));
  fs::rename(Path("new.key"), Path("server.key"));
  server_->Signal(SIGHUP);
  ASSERT_TRUE(server_->WaitForText(Path("server.log"), "TLS certificate reloaded")) << Log();
  const std::string reloaded = PresentedFingerprint(httpPort);
  EXPECT_NE(reloaded, fingerprint);
  EXPECT_TRUE(Has(Log(), "TLS certificate reloaded, SHA-256 fingerprint " + reloaded)) << Log();
  EXPECT_EQ(PresentedFingerprint(queryTlsPort), reloaded);
  WriteFile(Path("server.crt"), "-----BEGIN CERTIFICATE-----\nbroken\n-----END CERTIFICATE-----\n");
  server_->Signal(SIGHUP);
  ASSERT_TRUE(server_->WaitForText(Path("server.log"), "TLS certificate reload failed")) << Log();
  EXPECT_EQ(PresentedFingerprint(httpPort), reloaded);
  EXPECT_TRUE(TBrowser(httpPort, true).LogIn("root", "pw", "", true));
}

// Plain HTTP on every address: served, with a warning at start.
class PlainEverywhereTest : public WebProcessTest {
 protected:
  std::string MoreIni() const override { return "WebBoundToIp=0.0.0.0\n"; }
};

TEST_F(PlainEverywhereTest, WarnsOfPlainHttp) {
  EXPECT_TRUE(Has(Log(), "the web interface serves plain HTTP on 0.0.0.0")) << Log();
}

}  // namespace
}  // namespace webtest
}  // namespace qv
