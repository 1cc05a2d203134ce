// Install rules: `cmake --install` of this very build tree into a scratch
// prefix puts the programs, man pages and unattended-logging examples where
// the package and the documentation say, and the installed programs run.
// The package passes lintian, the man pages agree with the programs' help,
// and the programs build where GoogleTest is missing.
#include <gtest/gtest.h>
#include <limits.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

std::string parent(const std::string& p) {
  std::size_t s = p.find_last_of('/');
  return s == std::string::npos || s == 0 ? std::string("/") : p.substr(0, s);
}

// Test executables live in <build>/tests/.
std::string build_dir() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  return parent(parent(buf));
}

// A value of the build's CMakeCache.txt ("NAME:TYPE=value"), or "".
std::string cache_value(const std::string& build, const std::string& name) {
  std::ifstream in(build + "/CMakeCache.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
    std::size_t eq = line.find('=');
    if (eq != std::string::npos) return line.substr(eq + 1);
  }
  return "";
}

bool exists(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0;
}

bool executable_file(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
}

std::string in_path(const std::string& tool) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string d;
  while (std::getline(dirs, d, ':')) {
    if (!d.empty() && executable_file(d + "/" + tool)) return d + "/" + tool;
  }
  return "";
}

std::string first_deb(const std::string& dir) {
  std::string found;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".deb") == 0) found = dir + "/" + n;
    }
    ::closedir(d);
  }
  return found;
}

bool contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

harness::Result run_tool(const std::string& program, const std::vector<std::string>& args, double seconds = 60,
                         const std::vector<std::string>& env = {}) {
  harness::Options o;
  o.program = program;
  o.args = args;
  o.env = env;
  return harness::run(o, "", seconds);
}

// A compressed man page as text ("" when it is missing or not gzip).
std::string gunzip(const std::string& path) {
  const std::string gzip = in_path("gzip");
  if (gzip.empty() || !exists(path)) return "";
  harness::Result r = run_tool(gzip, {"-dc", path}, 20);
  return r.exit_code == 0 ? r.out : "";
}

// The option names (-o, --port) a text mentions; in roff, "\-" is a dash.
std::set<std::string> option_names(std::string text) {
  for (std::size_t at; (at = text.find("\\-")) != std::string::npos;) text.replace(at, 2, "-");
  std::set<std::string> names;
  static const std::regex opt(R"((^|[\s\[(,"])(--?[a-z][a-z0-9-]*))");
  for (std::sregex_iterator i(text.begin(), text.end(), opt), end; i != end; ++i) names.insert((*i)[2]);
  return names;
}

}  // namespace

// One test for the install and the package: both write the build tree's
// install_manifest.txt, which the install half reads.
TEST(Install, PutsFilesUnderThePrefixAndPackagesThemForDebian) {
  const std::string build = build_dir();
  const std::string cmake = cache_value(build, "CMAKE_COMMAND");
  ASSERT_TRUE(executable_file(cmake)) << "no cmake recorded in " << build << "/CMakeCache.txt";

  harness::TempDir dir;
  const std::string prefix = dir.file("root");
  harness::Result inst = run_tool(cmake, {"--install", build, "--prefix", prefix});
  ASSERT_EQ(0, inst.exit_code) << inst.out << inst.err;

  // Every installed file lies under the prefix: an absolute destination
  // would escape both a scratch install and the package's staging root.
  std::ifstream manifest(build + "/install_manifest.txt");
  ASSERT_TRUE(manifest.good());
  int listed = 0;
  for (std::string f; std::getline(manifest, f); ++listed) {
    EXPECT_EQ(0u, f.rfind(prefix + "/", 0)) << f;
  }
  EXPECT_GE(listed, 8);

  const std::string bin = prefix + "/bin/";
  EXPECT_TRUE(executable_file(bin + "kvoda_ser"));
  EXPECT_TRUE(executable_file(bin + "kvoda_sim"));
  if (exists(build + "/kvoda_plot")) {
    EXPECT_TRUE(executable_file(bin + "kvoda_plot"));
  }

  // Man pages go in compressed, one for each program.
  const std::string man = prefix + "/share/man/man1/";
  const std::string page = gunzip(man + "kvoda_ser.1.gz");
  for (const char* p : {"kvoda_ser.1", "kvoda_sim.1", "kvoda_plot.1"}) {
    const std::string text = gunzip(man + p + ".gz");
    EXPECT_EQ(0u, text.rfind(".\\\"", 0)) << p << ".gz: not a compressed roff page";
    EXPECT_FALSE(exists(man + p)) << p << " installed uncompressed";
    EXPECT_TRUE(contains(text, "\" \"kvoda_ser " KVODA_VERSION "\" \"User Commands\"\n")) << p << ": version in .TH";
  }
  for (const char* s : {"KVODA_PORT_PATTERN", "KVODA_TRACE", ".SH EXIT STATUS", "zaznam.txt", "kopie.txt",
                        "zaloha.txt", "kalzesil.txt", "kalnuly.txt", "4800"}) {
    EXPECT_TRUE(contains(page, s)) << s;
  }

  // The service and the cron line name the binary of this prefix, since
  // neither systemd nor cron searches where it was installed.
  const std::string ex = prefix + "/share/doc/kvoda-ser/examples/";
  const std::string unit = harness::read_file(ex + "kvoda-ser.service");
  EXPECT_TRUE(contains(unit, "\nExecStart=" + bin + "kvoda_ser 4800 0 1 300 /var/lib/kvoda/zaznam.txt\n")) << unit;
  EXPECT_TRUE(contains(unit, "\nStandardInput=null\n"));
  EXPECT_TRUE(contains(unit, "\nRestart=on-failure\n"));
  // systemd reads %d as a specifier; the pattern needs it doubled.
  EXPECT_TRUE(contains(unit, "KVODA_PORT_PATTERN=/dev/kvoda%%d\n"));
  const std::string cron = harness::read_file(ex + "kvoda-ser.cron");
  EXPECT_TRUE(contains(cron, bin + "kvoda_ser 4800 0 1 120 /var/lib/kvoda/zaznam.txt 1 < /dev/null")) << cron;
  EXPECT_EQ('\n', cron.empty() ? '\0' : cron.back()) << "cron ignores a last line without its line end";
  const std::string rules = harness::read_file(ex + "99-kvoda.rules");
  for (const char* s : {"SYMLINK+=\"kvoda0\"", "GROUP=\"dialout\"", "MODE=\"0660\"", "ENV{ID_MM_DEVICE_IGNORE}=\"1\"",
                        "udevadm info"}) {
    EXPECT_TRUE(contains(rules, s)) << s;
  }

  // The installed programs run from where they landed.
  harness::Result help = run_tool(bin + "kvoda_ser", {"/h"}, 20);
  EXPECT_EQ(0, help.exit_code) << help.err;
  EXPECT_EQ(0u, help.out.rfind(std::string(65, '*') + "\n", 0)) << help.out;
  harness::Result sim_help = run_tool(bin + "kvoda_sim", {"--help"}, 20);
  EXPECT_EQ(0, sim_help.exit_code) << sim_help.err;
  EXPECT_TRUE(contains(sim_help.out, "usage: kvoda_sim")) << sim_help.out;

  // The Debian package, built into the scratch directory.
  const std::string dpkg_deb = in_path("dpkg-deb");
  const std::string cpack = cache_value(build, "CMAKE_CPACK_COMMAND");
  if (dpkg_deb.empty() || !executable_file(cpack)) {
    std::printf("no dpkg-deb or cpack here: package not checked\n");
    return;
  }
  const std::string out = dir.file("pkg");
  harness::Result pack = run_tool(cpack, {"-G", "DEB", "--config", build + "/CPackConfig.cmake", "-B", out});
  ASSERT_EQ(0, pack.exit_code) << pack.out << pack.err;
  const std::string deb = first_deb(out);
  ASSERT_FALSE(deb.empty()) << pack.out;
  harness::Result fields = run_tool(dpkg_deb, {"-f", deb, "Package", "Depends", "Maintainer", "Description"});
  EXPECT_TRUE(contains(fields.out, "Package: kvoda-ser\n")) << fields.out;
#ifdef KVODA_S_MQTT
  EXPECT_TRUE(contains(fields.out, "Depends: libc6, libstdc++6, libgcc-s1, libmosquitto1\n")) << fields.out;
#else
  EXPECT_TRUE(contains(fields.out, "Depends: libc6, libstdc++6, libgcc-s1\n")) << fields.out;
#endif
  EXPECT_TRUE(contains(fields.out, "Maintainer: ")) << fields.out;
  for (const char* program : {"kvoda_ser", "kvoda_sim", "kvoda_plot"}) {
    EXPECT_TRUE(contains(fields.out, std::string(" ") + program + " ")) << program << " not in the description";
  }
#ifdef KVODA_S_MQTT
  EXPECT_TRUE(contains(fields.out, " kvoda_pub ")) << "kvoda_pub not in the description";
#endif
  harness::Result list = run_tool(dpkg_deb, {"-c", deb});
  for (const char* f : {"./usr/bin/kvoda_ser", "./usr/bin/kvoda_sim", "./usr/share/man/man1/kvoda_ser.1.gz",
                        "./usr/share/man/man1/kvoda_sim.1.gz", "./usr/share/man/man1/kvoda_plot.1.gz",
                        "./usr/share/doc/kvoda-ser/copyright", "./usr/share/doc/kvoda-ser/changelog.Debian.gz",
                        "./usr/share/doc/kvoda-ser/examples/kvoda-ser.service",
                        "./usr/share/doc/kvoda-ser/examples/kvoda-ser.cron",
                        "./usr/share/doc/kvoda-ser/examples/99-kvoda.rules"}) {
    EXPECT_TRUE(contains(list.out, std::string(f) + "\n")) << f;
  }
#ifdef KVODA_S_MQTT
  for (const char* f : {"./usr/bin/kvoda_pub", "./usr/share/man/man1/kvoda_pub.1.gz"}) {
    EXPECT_TRUE(contains(list.out, std::string(f) + "\n")) << f;
  }
#endif
  const std::string x = dir.file("x");
  ASSERT_EQ(0, run_tool(dpkg_deb, {"-x", deb, x}).exit_code);
  EXPECT_TRUE(executable_file(x + "/usr/bin/kvoda_ser"));
  EXPECT_TRUE(contains(harness::read_file(x + "/usr/share/doc/kvoda-ser/examples/kvoda-ser.service"),
                       "\nExecStart=/usr/bin/kvoda_ser "));
  // The changelog's latest entry is the package's version.
  std::string version = run_tool(dpkg_deb, {"-f", deb, "Version"}).out;
  version = version.substr(0, version.find('\n'));
  const std::string changelog = gunzip(x + "/usr/share/doc/kvoda-ser/changelog.Debian.gz");
  EXPECT_EQ(0u, changelog.rfind("kvoda-ser (" + version + ") ", 0)) << version << "\n" << changelog;

  // Debian's own checker: errors fail, warnings are for the reader.
  const std::string lintian = in_path("lintian");
  if (lintian.empty()) {
    std::printf("no lintian here: package not checked by it\n");
    return;
  }
  harness::Result lint = run_tool(lintian, {"--fail-on", "error", deb}, 300);
  EXPECT_EQ(0, lint.exit_code) << lint.out << lint.err;
  EXPECT_FALSE(contains("\n" + lint.out, "\nE: ")) << lint.out;
}

TEST(Install, ManPagesRenderWithoutWarnings) {
  const std::string groff = in_path("groff");
  if (groff.empty()) GTEST_SKIP() << "groff is not installed";
  const std::string src = cache_value(build_dir(), "CMAKE_HOME_DIRECTORY");
  for (const char* page : {"kvoda_ser.1", "kvoda_sim.1", "kvoda_plot.1", "kvoda_pub.1"}) {
    const std::string path = src + "/packaging/" + page;
    ASSERT_TRUE(exists(path)) << path;
    // -ww: every warning; -z: format only, discard the output.
    harness::Result r = run_tool(groff, {"-man", "-Tutf8", "-ww", "-z", path}, 30);
    EXPECT_EQ(0, r.exit_code) << page;
    EXPECT_EQ("", r.err) << page;
  }
}

// What --help lists, the man page describes, and the man page offers no
// option the program lacks (the help option itself aside).
TEST(Install, HelpAndManPageNameTheSameOptions) {
  const std::string build = build_dir();
  const std::string src = cache_value(build, "CMAKE_HOME_DIRECTORY");
  for (const char* program : {"kvoda_sim", "kvoda_plot", "kvoda_pub"}) {
    if (std::string(program) == "kvoda_pub" && !exists(build + "/kvoda_pub")) continue;  // built only with libmosquitto
    harness::Result help = run_tool(build + "/" + program, {"--help"}, 20);
    ASSERT_EQ(0, help.exit_code) << program << help.err;
    const std::string page = harness::read_file(src + "/packaging/" + program + ".1");
    ASSERT_FALSE(page.empty()) << program;
    const std::set<std::string> in_help = option_names(help.out);
    EXPECT_FALSE(in_help.empty()) << program;
    std::string headings;
    std::istringstream lines(page);
    for (std::string l; std::getline(lines, l);)
      if (l.rfind(".B", 0) == 0) headings += l + "\n";
    const std::set<std::string> in_page = option_names(headings);
    for (const std::string& o : in_help) {
      EXPECT_TRUE(in_page.count(o)) << program << ": " << o << " not in the man page";
    }
    for (const std::string& o : in_page) {
      if (o == "-h" || o == "--help") continue;
      EXPECT_TRUE(in_help.count(o)) << program << ": " << o << " not in --help";
    }
  }
}

// Every program names its version as the package does, and an optimised
// build carries the distribution's hardening, read from the binaries.
TEST(Install, ProgramsTellTheirVersionAndAreHardened) {
  const std::string build = build_dir();
  const std::string readelf = in_path("readelf");
  const std::string type = cache_value(build, "CMAKE_BUILD_TYPE");
  const bool hardened = cache_value(build, "KVODA_SANITIZE") != "ON" && type != "Debug";
  const bool optimised = type == "Release" || type == "RelWithDebInfo" || type == "MinSizeRel";
  for (const char* program : {"kvoda_ser", "kvoda_plot", "kvoda_sim", "kvoda_pub"}) {
    SCOPED_TRACE(program);
    const std::string path = build + "/" + program;
    if (std::string(program) == "kvoda_pub" && !exists(path)) continue;  // built only with libmosquitto
    {
      harness::Result v = run_tool(path, {"--version"}, 20);
      EXPECT_EQ(0, v.exit_code) << program;
      EXPECT_EQ(std::string(program) + " " KVODA_VERSION "\n", v.out);
      EXPECT_EQ("", v.err) << program;
    }
    if (!hardened || readelf.empty()) continue;
    const std::string dynamic = run_tool(readelf, {"-dW", path}).out;
    EXPECT_TRUE(contains(dynamic, "BIND_NOW") || std::regex_search(dynamic, std::regex("FLAGS_1.*\\bNOW\\b")))
        << dynamic;
    const std::string segments = run_tool(readelf, {"-hlW", path}).out;
    EXPECT_TRUE(contains(segments, "GNU_RELRO"));
    EXPECT_TRUE(contains(segments, "Type:                              DYN")) << "not position-independent";
    const std::string symbols = run_tool(readelf, {"--dyn-syms", "-W", path}).out;
    if (optimised) {
      EXPECT_TRUE(std::regex_search(symbols, std::regex(R"(UND __\w+_chk@)"))) << "no fortified function";
    }
    EXPECT_TRUE(contains(symbols, " __stack_chk_fail@"));
  }
}

// Without GoogleTest the programs still configure and build, and the
// configure says in one line why there are no tests; asking for the tests
// then fails instead of quietly building none.
TEST(Install, ProgramsBuildWithoutGoogleTest) {
  const std::string build = build_dir();
  const std::string cmake = cache_value(build, "CMAKE_COMMAND");
  const std::string src = cache_value(build, "CMAKE_HOME_DIRECTORY");
  ASSERT_TRUE(executable_file(cmake));
  harness::TempDir dir;
  std::vector<std::string> conf = {"-S", src, "-B", dir.file("b"), "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON",
                                   "-DCMAKE_BUILD_TYPE=" + cache_value(build, "CMAKE_BUILD_TYPE")};
  for (const char* v : {"CMAKE_CXX_COMPILER", "CMAKE_C_COMPILER", "CMAKE_CXX_COMPILER_LAUNCHER",
                        "CMAKE_C_COMPILER_LAUNCHER"}) {
    const std::string value = cache_value(build, v);
    if (!value.empty()) conf.push_back(std::string("-D") + v + "=" + value);
  }
  // The scratch tree's objects match the main build's, whatever directory
  // they are compiled in.
  const std::vector<std::string> env = {"CCACHE_NOHASHDIR=1"};
  harness::Result c = run_tool(cmake, conf, 300, env);
  ASSERT_EQ(0, c.exit_code) << c.out << c.err;
  EXPECT_TRUE(contains(c.out, "Tests are off: GoogleTest not found (Debian package libgtest-dev)\n")) << c.out;
  // The programs are targets of that tree and nothing of the tests is; the
  // build itself, a minute of both processors, is CI's (.ci/run).
  harness::Result b = run_tool(cmake, {"--build", dir.file("b"), "--target", "help"}, 60, env);
  ASSERT_EQ(0, b.exit_code) << b.out << b.err;
  for (const char* p : {"kvoda_ser", "kvoda_sim", "kvoda_plot"})
    EXPECT_TRUE(contains(b.out, std::string("... ") + p + "\n")) << p << "\n" << b.out;
  EXPECT_FALSE(contains(b.out, "test_")) << b.out;
  EXPECT_FALSE(exists(dir.file("b/tests")));

  conf[3] = dir.file("asked");
  conf.push_back("-DKVODA_TESTS=ON");
  harness::Result asked = run_tool(cmake, conf, 300, env);
  EXPECT_NE(0, asked.exit_code) << asked.out;
  EXPECT_TRUE(contains(asked.err, "KVODA_TESTS=ON") && contains(asked.err, "libgtest-dev")) << asked.err;
}
