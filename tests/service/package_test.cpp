// The Debian package of a release build (scripts/build-deb.sh; the test
// command builds it and names it in QV_PACKAGE_DEB): its files and control
// data, lintian's verdict, the hardening of its programs, and its
// maintainer scripts run by dpkg itself into a root of the test's own,
// through a first install, upgrades whose sample configuration changed, and
// a purge. Without QV_PACKAGE_DEB the tests skip.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/test_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::Has;
using test::ReadFile;
using test::TempDir;

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* deb = std::getenv("QV_PACKAGE_DEB");
    if (!deb || !*deb) GTEST_SKIP() << "QV_PACKAGE_DEB is not set (scripts/run-tests.sh builds the package)";
    deb_ = deb;
    ASSERT_TRUE(fs::is_regular_file(deb_)) << deb_;
  }

  std::string Path(const std::string& name) const { return dir_.File(name); }

  // Runs a shell command; its output (standard output and error). Its exit
  // status goes to *status, or must be 0.
  std::string Run(const std::string& command, int* status = nullptr) {
    const int raw = std::system((command + " > '" + Path("out.txt") + "' 2>&1 < /dev/null").c_str());
    const int code = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (status) {
      *status = code;
    } else {
      EXPECT_EQ(code, 0) << command << "\n" << ReadFile(Path("out.txt"));
    }
    return ReadFile(Path("out.txt"));
  }

  std::string deb_;
  TempDir dir_;
};

TEST_F(PackageTest, FilesAndControlData) {
  const std::string files = Run("dpkg-deb -c '" + deb_ + "'");
  for (const char* file : {" ./usr/bin/quillvane-server\n", " ./usr/bin/quillvane-client\n",
                           " ./usr/share/quillvane/sqlite_sql/read_servers.sql\n",
                           " ./usr/share/quillvane/httpdocs/index.html\n", " ./usr/share/quillvane/server.ini\n",
                           " ./usr/share/man/man8/quillvane-server.8.gz\n", " ./usr/share/man/man1/quillvane-client.1.gz\n",
                           " ./usr/share/doc/quillvane/copyright\n", " ./usr/share/doc/quillvane/changelog.gz\n",
                           " ./usr/share/doc/quillvane/examples/grafana-dashboard.json\n",
                           " ./etc/logrotate.d/quillvane\n", " ./etc/fail2ban/filter.d/quillvane.conf\n",
                           " ./etc/fail2ban/jail.d/quillvane.conf\n", " ./lib/systemd/system/quillvane.service\n"})
    EXPECT_TRUE(Has(files, file)) << file << files;
  // The live configuration belongs to the server, not to the package.
  EXPECT_FALSE(Has(files, "./etc/quillvane/")) << files;
  EXPECT_FALSE(Has(files, "/usr/local")) << files;
  EXPECT_EQ(Run("dpkg-deb -f '" + deb_ + "' Package Section"), "Package: quillvane\nSection: net\n");
  const std::string depends = Run("dpkg-deb -f '" + deb_ + "' Depends");
  for (const char* library :
       {"adduser", "libc6", "libsqlite3-0", "libmariadb3", "libsystemd0", "libfmt", "libsodium23", "libssl3"})
    EXPECT_TRUE(Has(depends, library)) << library << " in " << depends;
  EXPECT_FALSE(Has(depends, "init-system-helpers")) << depends;
  Run("dpkg-deb -e '" + deb_ + "' '" + Path("control") + "'");
  EXPECT_EQ(ReadFile(Path("control/conffiles")),
            "/etc/logrotate.d/quillvane\n/etc/fail2ban/filter.d/quillvane.conf\n/etc/fail2ban/jail.d/quillvane.conf\n");
  const std::string postinst = ReadFile(Path("control/postinst"));
  EXPECT_TRUE(Has(postinst, "adduser --system") && Has(postinst, "deb-systemd-helper enable quillvane.service"));
  EXPECT_FALSE(Has(postinst, "deb-systemd-invoke start"));
  EXPECT_TRUE(fs::status(Path("control/postinst")).permissions() == fs::perms(0755));
}

// lintian at its default level: no error and no warning.
TEST_F(PackageTest, LintianFindsNothingToFault) {
  if (Run("command -v lintian").empty()) GTEST_SKIP() << "lintian is missing";
  int status = 0;
  const std::string report = Run("lintian --fail-on error,warning '" + deb_ + "'", &status);
  EXPECT_EQ(status, 0) << report;
  EXPECT_FALSE(Has(report, "E: ") || Has(report, "W: ")) << report;
}

// Debian's hardening in both programs, as readelf sees it. Fortified calls
// show only where the compiler knows a buffer's size: the client has none
// (lintian says so at its informational level), the server has.
TEST_F(PackageTest, ProgramsAreHardened) {
  Run("dpkg-deb -x '" + deb_ + "' '" + Path("root") + "'");
  const struct {
    const char* what;
    const char* readelf;  // options
    const char* shows;
    bool client;
  } checks[] = {
      {"position independent", "-d", "PIE", true},
      {"bound at start (BIND_NOW)", "-d", "NOW", true},
      {"read-only relocations (RELRO)", "-lW", "GNU_RELRO", true},
      {"stack protector", "--dyn-syms -W", "__stack_chk_fail", true},
      {"fortified libc calls", "--dyn-syms -W", "_chk@", false},
  };
  for (const std::string program : {"quillvane-server", "quillvane-client"}) {
    for (const auto& check : checks) {
      if (program == "quillvane-client" && !check.client) continue;
      const std::string out = Run(std::string("readelf ") + check.readelf + " '" + Path("root/usr/bin/") + program + "'");
      EXPECT_TRUE(Has(out, check.shows)) << program << ": " << check.what;
    }
  }
}

// dpkg runs the maintainer scripts into a root of the test's own (DPKG_ROOT),
// without a terminal, as unattended upgrades do. The service user and the
// systemd helpers are stand-ins that only record their calls. Whatever the
// path (a first install; an upgrade from a package that still shipped the
// live configuration as a configuration file; an upgrade whose sample
// changed), dpkg never asks, the live file is created only when missing and
// the server's edits survive; a purge removes it.
TEST_F(PackageTest, MaintainerScriptsKeepTheLiveConfigurationAndNeverAsk) {
  const std::string root = Path("root"), stubs = Path("stubs"), calls = Path("calls.txt");
  for (const char* dirs : {"/var/lib/dpkg/info", "/var/lib/dpkg/updates", "/run"}) fs::create_directories(root + dirs);
  test::WriteFile(root + "/var/lib/dpkg/status", "");
  fs::create_directories(stubs);
  for (const char* program : {"adduser", "chown", "deb-systemd-helper", "deb-systemd-invoke", "systemctl"}) {
    test::WriteFile(stubs + "/" + program, "#!/bin/sh\necho \"" + std::string(program) + " $*\" >> '" + calls + "'\n");
    fs::permissions(stubs + "/" + program, fs::perms(0755));
  }
  test::WriteFile(stubs + "/getent", "#!/bin/sh\nexit 2\n");  // no such user yet
  fs::permissions(stubs + "/getent", fs::perms(0755));
  auto dpkg = [&](const std::string& args) {
    return Run("PATH='" + stubs + "':$PATH dpkg --root='" + root + "' --force-script-chrootless --force-depends " +
               "--force-not-root --log=/dev/null " + args);
  };
  // Variants of the package: a newer one whose sample differs, and an older
  // one that shipped /etc/quillvane/server.ini as a configuration file.
  auto variant = [&](const std::string& name, const std::string& version, bool oldStyle) {
    const std::string tree = Path(name);
    Run("dpkg-deb -R '" + deb_ + "' '" + tree + "'");
    std::string control = ReadFile(tree + "/DEBIAN/control");
    const size_t at = control.find("Version: ");
    control.replace(at, control.find('\n', at) - at, "Version: " + version);
    test::WriteFile(tree + "/DEBIAN/control", control);
    std::string sample = ReadFile(tree + "/usr/share/quillvane/server.ini");
    sample += "; sample of " + version + "\n";
    test::WriteFile(tree + "/usr/share/quillvane/server.ini", sample);
    if (oldStyle) {
      fs::create_directories(tree + "/etc/quillvane");
      test::WriteFile(tree + "/etc/quillvane/server.ini", sample);
      test::WriteFile(tree + "/DEBIAN/conffiles", ReadFile(tree + "/DEBIAN/conffiles") + "/etc/quillvane/server.ini\n");
    }
    Run("dpkg-deb -b --root-owner-group '" + tree + "' '" + tree + ".deb'");
    return tree + ".deb";
  };
  const std::string older = variant("older", "2.0.19.39", true);
  const std::string newer = variant("newer", "2.0.19.41", false);
  const std::string livePath = root + "/etc/quillvane/server.ini";
  const std::string edit = "[Main Config]\nHTTPServer Port=24534\n";  // as the server writes it back

  enum TLive { kKept, kEdited, kDeleted };
  struct {
    const char* what;
    std::string before;  // dpkg's arguments first ("" none)
    TLive live;  // what happens to the live file before the install
    std::string install;
    bool edits;  // whether the edit is there afterwards; otherwise the installed sample is
  } paths[] = {
      {"upgrade from the configuration-file package", "-i '" + older + "'", kEdited, deb_, true},
      {"upgrade with a changed sample", "", kEdited, newer, true},
      {"reinstall after the live file was deleted", "", kDeleted, newer, false},
      {"first install after a purge", "--purge quillvane", kKept, deb_, false},
  };
  for (const auto& p : paths) {
    SCOPED_TRACE(p.what);
    if (!p.before.empty()) dpkg(p.before);
    if (p.live == kEdited) test::WriteFile(livePath, edit);
    if (p.live == kDeleted) fs::remove(livePath);
    dpkg("-i '" + p.install + "'");
    EXPECT_EQ(ReadFile(livePath), p.edits ? edit : ReadFile(root + "/usr/share/quillvane/server.ini"));
    EXPECT_EQ(Run("dpkg --root='" + root + "' --audit"), "");  // nothing left half-installed
    EXPECT_TRUE(fs::is_directory(root + "/run/quillvane"));
  }
  const std::string recorded = ReadFile(calls);
  EXPECT_TRUE(Has(recorded, "adduser --system --group --home /var/lib/quillvane")) << recorded;
  EXPECT_TRUE(Has(recorded, "deb-systemd-helper enable quillvane.service")) << recorded;
  EXPECT_FALSE(Has(recorded, "systemctl")) << "no service manager is asked about another root\n" << recorded;
  dpkg("--purge quillvane");
  EXPECT_FALSE(fs::exists(root + "/etc/quillvane"));
}

}  // namespace
}  // namespace qv
