// Running a program under the virtual device (tools/vdsp) and reading what
// it recorded: the trace of every device call and the bytes played.
#ifndef VDL_TESTS_VDSP_RIG_H
#define VDL_TESTS_VDSP_RIG_H

#include "testutil.h"

#include <map>
#include <string>
#include <vector>

namespace vdltest {

// One trace line: TIME EVENT [SUBJECT] KEY=VALUE...
struct TraceEvent {
  double time = 0;       // CLOCK_MONOTONIC when the call returned
  std::string name;      // open, ioctl, write, close, exit
  std::string subject;   // a path or a request name; "" for none
  std::map<std::string, std::string> keys;
  std::string line;      // whole, for messages
  bool Has(const std::string &key) const { return keys.count(key) != 0; }
  std::string Str(const std::string &key) const;  // "" when missing
  long long Int(const std::string &key) const;    // a test failure when missing
  double Seconds(const std::string &key) const;   // NaN when missing
};

std::vector<TraceEvent> ReadTrace(const std::string &path);
// The events of one name (and subject, when given), in order.
std::vector<TraceEvent> Only(const std::vector<TraceEvent> &all, const std::string &name,
                             const std::string &subject = "");
long long Sum(const std::vector<TraceEvent> &events, const std::string &key);
// Seconds the device spent playing a stream, from its trace: from the
// start of the first write that was taken to the first event after the
// last one that finds the queue empty (a close, an exit, or a queued=0).
// A program that fell behind the device stretches it; NaN without writes.
double PlaySpan(const std::vector<TraceEvent> &trace);

// The trace as compact events: the event name, its subject, and the fields
// a caller decides (flags, request argument, bytes asked, errno).
std::vector<std::string> Events(const std::string &tracePath);
// The requests and writes of one file played whole by blocking playback
// (or up to `played` bytes when the file ends early).
std::vector<std::string> FileEvents(int channels, int rate, int bits, int64_t played);
// A session on dev: the open, the files' events, the close.
std::vector<std::string> Session(const std::string &dev,
                                 std::vector<std::vector<std::string>> files);

// The value of KEY= on the last line of a client's output that starts
// with VERB and a blank; "" when there is none.
std::string Said(const std::string &out, const std::string &verb, const std::string &key);

// A temporary HOME whose .vdlrc names dev as the device, a path of its own
// unless one is given, and the files a run under vdsp leaves in it: the
// trace and the bytes played (out, a WAV file when its name ends in .wav).
struct DeviceHome {
  explicit DeviceHome(const std::string &device = "", const std::string &outName = "out.raw");
  TempDir dir;
  std::string dev, trace, out;
  std::string Env() const { return "HOME=" + dir.path; }
  // vdsp -d dev -t trace -o out OPTIONS... -- COMMAND...
  std::vector<std::string> Argv(const std::vector<std::string> &options,
                                const std::vector<std::string> &command) const;
  // Argv run with HOME set to dir, and env.
  RunResult Run(const std::vector<std::string> &options, const std::vector<std::string> &command,
                std::vector<std::string> env = {}) const;
};

}  // namespace vdltest

#endif
