// The whole program behind `kvoda_plot`, callable in-process.
#ifndef KVODA_PLOT_PROGRAM_H
#define KVODA_PLOT_PROGRAM_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "prubeh.h"
#include "zaznam.h"

namespace plot {

// Splits a byte stream into lines and gathers the records per scale;
// malformed lines are counted, the first one remembered for the report.
class Collector {
 public:
  void Begin(const std::string& name);  // a new input: line numbers restart
  void Feed(const char* data, std::size_t n);
  void End();  // a last line without '\n' counts too

  std::uint64_t Records() const { return records_; }
  std::uint64_t Skipped() const { return skipped_; }
  std::string FirstSkipped() const;  // "NAME line L: reason", or empty
  const Series* Scale(int device) const { return series_[static_cast<std::size_t>(device)].get(); }

 private:
  void Line(const char* p, std::size_t n);

  std::array<std::unique_ptr<Series>, zaznam::kMaxDevice + 1> series_;
  std::uint64_t records_ = 0, skipped_ = 0;
  std::string name_, first_name_;
  std::uint64_t line_no_ = 0, first_line_ = 0;
  zaznam::Fault first_fault_ = zaznam::Fault::none;
  std::string carry_;  // the part of a line read so far
  bool overlong_ = false;
};

const char* FaultText(zaznam::Fault f);

// Command line as for main; `in` is standard input, `out` standard output,
// `err` standard error. Returns the exit status: 0 done, 1 a file could not
// be read or written, 2 bad command line.
int Run(int argc, const char* const* argv, std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace plot

#endif
