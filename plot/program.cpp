#include "program.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "kresba.h"

namespace plot {

namespace {

const char* const kUsage =
    "usage: kvoda_plot [-o OUT.svg] [FILE...]\n"
    "Draws the records of kvoda_ser data files (zaznam.txt, kopie.txt, zaloha.txt,\n"
    "kalzesil.txt, kalnuly.txt) as one SVG picture: a panel per scale with\n"
    "weight [kg] and temperature [\xC2\xB0" "C] over time.\n"
    "  FILE        a data file; - or none: standard input\n"
    "  -o OUT.svg  write the picture to OUT.svg instead of standard output\n"
    "  -h, --help  this text\n"
    "  --version   the program's version\n"
    "Malformed lines are skipped; their number is reported on standard error.\n"
    "Exit status: 0 done, 1 a file could not be read or written, 2 bad command line.\n";

constexpr int kVersion = 0x100;  // --version has no short form

int BadUsage(std::FILE* err, const std::string& what) {
  std::fprintf(err, "kvoda_plot: %s\nTry 'kvoda_plot --help'.\n", what.c_str());
  return 2;
}

bool SameFile(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Standard output sent (by the shell) into one of the inputs.
bool SameFile(std::FILE* f, const char* name) {
  struct stat sf, sn;
  return fstat(fileno(f), &sf) == 0 && S_ISREG(sf.st_mode) && stat(name, &sn) == 0 && sf.st_dev == sn.st_dev &&
         sf.st_ino == sn.st_ino;
}

// A name as it goes into a one-line message.
std::string Printable(const std::string& s) {
  std::string o = s;
  for (char& ch : o)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
  return o;
}

// Reads one input to its end; false (with errno's text in `why`) on a
// read error.
bool ReadAll(std::FILE* f, Collector& c, std::string& why) {
  std::vector<char> buf(1 << 20);
  while (true) {
    std::size_t n = std::fread(buf.data(), 1, buf.size(), f);
    if (n > 0) c.Feed(buf.data(), n);
    if (n < buf.size()) {
      if (std::ferror(f)) {
        why = std::strerror(errno ? errno : EIO);
        return false;
      }
      if (std::feof(f)) return true;
    }
  }
}

}  // namespace

const char* FaultText(zaznam::Fault f) {
  switch (f) {
    case zaznam::Fault::none: return "no fault";
    case zaznam::Fault::fields: return "not 8 TAB-separated fields";
    case zaznam::Fault::date: return "bad date or time";
    case zaznam::Fault::number: return "bad number";
    case zaznam::Fault::range: return "value out of range";
    case zaznam::Fault::length: return "line too long";
    case zaznam::Fault::nul: return "NUL byte";
  }
  return "?";
}

void Collector::Begin(const std::string& name) {
  name_ = name;
  line_no_ = 0;
  carry_.clear();
  overlong_ = false;
}

void Collector::Feed(const char* data, std::size_t n) {
  const char* p = data;
  const char* end = data + n;
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* e = nl ? nl : end;
    std::size_t len = static_cast<std::size_t>(e - p);
    if (carry_.empty() && !overlong_ && nl) {
      Line(p, len);
    } else {
      // Keep at most one byte past the limit: enough to know it is too long.
      if (!overlong_) {
        std::size_t room = zaznam::kMaxLine + 1 - std::min(carry_.size(), zaznam::kMaxLine + 1);
        carry_.append(p, std::min(len, room));
        if (carry_.size() > zaznam::kMaxLine) overlong_ = true;
      }
      if (nl) {
        Line(carry_.data(), carry_.size());
        carry_.clear();
        overlong_ = false;
      }
    }
    p = nl ? nl + 1 : end;
  }
}

void Collector::End() {
  if (!carry_.empty() || overlong_) Line(carry_.data(), carry_.size());
  carry_.clear();
  overlong_ = false;
}

void Collector::Line(const char* p, std::size_t n) {
  ++line_no_;
  zaznam::Record r;
  zaznam::Fault f = zaznam::ParseRecord(p, n, r);
  if (f == zaznam::Fault::none) {
    std::unique_ptr<Series>& s = series_[static_cast<std::size_t>(r.device)];
    if (!s) s = std::make_unique<Series>();
    s->Add(r.time, r.weight, r.temp);
    ++records_;
    return;
  }
  if (skipped_++ == 0) {
    first_name_ = name_;
    first_line_ = line_no_;
    first_fault_ = f;
  }
}

std::string Collector::FirstSkipped() const {
  if (skipped_ == 0) return std::string();
  return first_name_ + " line " + std::to_string(first_line_) + ": " + FaultText(first_fault_);
}

int Run(int argc, const char* const* argv, std::FILE* in, std::FILE* out, std::FILE* err) {
  const char* output = nullptr;
  std::vector<const char*> inputs;
  // getopt_long reorders the vector it is given (options before files):
  // it gets a copy, and the strings themselves are never written.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
  args.push_back(nullptr);
  static const option kLong[] = {
      {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, kVersion}, {nullptr, 0, nullptr, 0}};
  optind = 0;  // a full restart: Run may be called more than once
  opterr = 0;  // the messages go to `err`
  for (int c; (c = getopt_long(argc, args.data(), ":ho:", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'h':
        std::fputs(kUsage, out);
        return std::fflush(out) == 0 ? 0 : 1;
      case kVersion:
        std::fputs("kvoda_plot " KVODA_VERSION "\n", out);
        return std::fflush(out) == 0 ? 0 : 1;
      case 'o':
        if (!*optarg) return BadUsage(err, "option -o: empty file name");
        if (output) return BadUsage(err, "option -o given twice");
        output = optarg;
        break;
      case ':':
        return BadUsage(err, "option -o needs a file name");
      default: {
        // A long option is named as written, a short one by its letter;
        // a known long option was given a value it does not take.
        const char* a = args[static_cast<std::size_t>(optind - 1)];
        const std::string name = Printable(std::string(a, std::strcspn(a, "=")));
        if (optopt != 0 && std::strncmp(a, "--", 2) == 0)
          return BadUsage(err, "option '" + name + "' takes no value");
        if (optopt == 0 || optopt > 0xFF) return BadUsage(err, "unknown option '" + name + "'");
        return BadUsage(err, "unknown option '-" + Printable(std::string(1, static_cast<char>(optopt))) + "'");
      }
    }
  }
  for (int i = optind; i < argc; ++i) inputs.push_back(args[static_cast<std::size_t>(i)]);
  if (inputs.empty()) inputs.push_back("-");
  const bool to_file = output && std::strcmp(output, "-") != 0;
  for (const char* name : inputs) {
    if (std::strcmp(name, "-") == 0) continue;
    if (to_file ? SameFile(name, output) : SameFile(out, name))
      return BadUsage(err, "the output " + Printable(to_file ? output : "(standard output)") + " is the input " +
                               Printable(name));
  }

  Collector c;
  std::string source;
  int status = 0;
  for (const char* name : inputs) {
    const bool std_in = std::strcmp(name, "-") == 0;
    if (!source.empty()) source += ", ";
    source += std_in ? "standard input" : name;
    std::FILE* f = std_in ? in : std::fopen(name, "rb");
    if (!f) {
      std::fprintf(err, "kvoda_plot: %s: %s\n", Printable(name).c_str(), std::strerror(errno));
      status = 1;
      continue;
    }
    if (std_in && isatty(fileno(in)))
      std::fprintf(err, "kvoda_plot: reading records from the terminal, end with Ctrl-D\n");
    c.Begin(std_in ? "standard input" : Printable(name));
    std::string why;
    if (!ReadAll(f, c, why)) {
      std::fprintf(err, "kvoda_plot: %s: %s\n", Printable(name).c_str(), why.c_str());
      status = 1;
    }
    c.End();
    if (!std_in) std::fclose(f);
  }
  if (c.Skipped())
    std::fprintf(err, "kvoda_plot: skipped %llu malformed line%s (first: %s)\n",
                 static_cast<unsigned long long>(c.Skipped()), c.Skipped() == 1 ? "" : "s", c.FirstSkipped().c_str());
  // A picture of only part of what was asked for would pass unnoticed.
  if (status != 0) {
    std::fprintf(err, "kvoda_plot: nothing written\n");
    return status;
  }

  Picture pic;
  pic.source = source;
  pic.skipped = c.Skipped();
  for (int d = 0; d <= zaznam::kMaxDevice; ++d)
    if (c.Scale(d)) pic.scales.push_back(plot::Scale{d, c.Scale(d)});
  const std::string svg = RenderSvg(pic);

  std::FILE* o = to_file ? std::fopen(output, "wb") : out;
  if (!o) {
    std::fprintf(err, "kvoda_plot: %s: %s\n", Printable(output).c_str(), std::strerror(errno));
    return 1;
  }
  bool ok = std::fwrite(svg.data(), 1, svg.size(), o) == svg.size();
  ok = (to_file ? std::fclose(o) == 0 : std::fflush(o) == 0) && ok;
  if (!ok) {
    std::fprintf(err, "kvoda_plot: %s: %s\n", to_file ? Printable(output).c_str() : "standard output",
                 std::strerror(errno ? errno : EIO));
    return 1;
  }
  return 0;
}

}  // namespace plot
