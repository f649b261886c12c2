#include "vdsp_rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace vdltest {

std::string TraceEvent::Str(const std::string &key) const {
  auto it = keys.find(key);
  return it == keys.end() ? "" : it->second;
}

long long TraceEvent::Int(const std::string &key) const {
  auto it = keys.find(key);
  if (it == keys.end()) {
    ADD_FAILURE() << "the trace line has no " << key << ": " << line;
    return 0;
  }
  return std::atoll(it->second.c_str());
}

double TraceEvent::Seconds(const std::string &key) const {
  auto it = keys.find(key);
  return it == keys.end() ? NAN : std::atof(it->second.c_str());
}

std::vector<TraceEvent> ReadTrace(const std::string &path) {
  std::vector<TraceEvent> events;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    TraceEvent e;
    e.line = line;
    words >> e.time >> e.name;
    for (std::string w; words >> w;) {
      std::size_t eq = w.find('=');
      if (eq == std::string::npos)
        e.subject = w;
      else
        e.keys[w.substr(0, eq)] = w.substr(eq + 1);
    }
    events.push_back(e);
  }
  return events;
}

std::vector<TraceEvent> Only(const std::vector<TraceEvent> &all, const std::string &name,
                             const std::string &subject) {
  std::vector<TraceEvent> out;
  for (const TraceEvent &e : all)
    if (e.name == name && (subject.empty() || e.subject == subject)) out.push_back(e);
  return out;
}

long long Sum(const std::vector<TraceEvent> &events, const std::string &key) {
  long long total = 0;
  for (const TraceEvent &e : events) total += e.Int(key);
  return total;
}

double PlaySpan(const std::vector<TraceEvent> &trace) {
  std::size_t first = trace.size(), last = trace.size();
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].name != "write" || trace[i].Int("accepted") <= 0) continue;
    if (first == trace.size()) first = i;
    last = i;
  }
  if (first == trace.size()) return NAN;
  double start = trace[first].time - trace[first].Seconds("waited");
  for (std::size_t i = last + 1; i < trace.size(); ++i) {
    const TraceEvent &e = trace[i];
    if (e.name == "close" || e.name == "exit" || e.Int("queued") == 0) return e.time - start;
  }
  return NAN;
}

std::vector<std::string> Events(const std::string &tracePath) {
  std::vector<std::string> events;
  for (const TraceEvent &e : ReadTrace(tracePath)) {
    std::string event = e.name + (e.subject.empty() ? "" : " " + e.subject);
    for (std::string key : {"flags", "arg", "asked", "errno"})
      if (e.Has(key)) event += " " + key + "=" + e.Str(key);
    events.push_back(event);
  }
  return events;
}

std::vector<std::string> FileEvents(int channels, int rate, int bits, int64_t played) {
  std::vector<std::string> e = {
      "ioctl SNDCTL_DSP_RESET",
      "ioctl SNDCTL_DSP_CHANNELS arg=" + std::to_string(channels),
      "ioctl SNDCTL_DSP_STEREO arg=" + std::to_string(channels - 1),
      "ioctl SNDCTL_DSP_SPEED arg=" + std::to_string(rate),
      "ioctl SNDCTL_DSP_SETFMT arg=" + std::to_string(bits)};
  for (int64_t pos = 0; pos < played; pos += 256)
    e.push_back("write asked=" + std::to_string(played - pos < 256 ? played - pos : 256));
  e.push_back("ioctl SNDCTL_DSP_SYNC");
  return e;
}

std::vector<std::string> Session(const std::string &dev,
                                 std::vector<std::vector<std::string>> files) {
  std::vector<std::string> all = {"open " + dev + " flags=O_WRONLY"};
  for (const auto &f : files) all.insert(all.end(), f.begin(), f.end());
  all.push_back("close");
  return all;
}

std::string Said(const std::string &out, const std::string &verb, const std::string &key) {
  std::string found;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::size_t at = line.find(" " + key + "=");
    if (line.rfind(verb + " ", 0) != 0 || at == std::string::npos) continue;
    at += key.size() + 2;
    found = line.substr(at, line.find(' ', at) - at);
  }
  return found;
}

DeviceHome::DeviceHome(const std::string &device, const std::string &outName)
    : dev(device.empty() ? dir / "dsp" : device), trace(dir / "trace"), out(dir / outName) {
  WriteFile(dir / ".vdlrc", "[Audio]\nDSP=" + dev + "\n");
}

std::vector<std::string> DeviceHome::Argv(const std::vector<std::string> &options,
                                          const std::vector<std::string> &command) const {
  std::vector<std::string> argv = {VDSP, "-d", dev, "-t", trace, "-o", out};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("--");
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

RunResult DeviceHome::Run(const std::vector<std::string> &options,
                          const std::vector<std::string> &command,
                          std::vector<std::string> env) const {
  env.push_back(Env());
  return vdltest::Run(Argv(options, command), env);
}

}  // namespace vdltest
