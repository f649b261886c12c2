#include "audio_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace vdltest {

namespace {

// A level that stays within this spread for kHeldSeconds is held, not
// sound: a stream padded with a constant, a converter stuck on a value.  A
// tone above 20 Hz moves further than that within the time.
constexpr double kHeldSpread = 1.0 / 1024;
constexpr double kHeldSeconds = 0.001;
// The crossing band's half-width as a share of the tone's median magnitude
// (0.71 of the peak for a sine): wide enough to ignore ringing, narrow
// enough that every cycle crosses it.
constexpr double kBandShare = 0.5;
// A period this many times the median one spans a gap; the periods that
// do are left out of the pitch, which the gap does not change.
constexpr double kLongPeriod = 1.5;
// A tone begins at most this many periods before its first crossing of
// the band (one period to go below it, a bit more to come back up), and
// ends at most one period after its last.
constexpr double kEdgePeriods = 1.5;
constexpr double kS16Scale = 32768;

enum class Kind { kQuiet, kHeld, kSound };

std::vector<Kind> Classify(const std::vector<double> &x, int rate) {
  const std::size_t n = x.size();
  const std::size_t heldRun = static_cast<std::size_t>(std::ceil(kHeldSeconds * rate));
  std::vector<Kind> kind(n, Kind::kSound);
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && std::fabs(x[j] - x[i]) <= kHeldSpread) ++j;
    if (j - i >= heldRun) {
      std::fill(kind.begin() + static_cast<long>(i), kind.begin() + static_cast<long>(j),
                Kind::kHeld);
      i = j;
    } else {
      ++i;
    }
  }
  for (std::size_t i = 0; i < n; ++i)
    if (std::fabs(x[i]) <= kQuietLevel) kind[i] = Kind::kQuiet;
  return kind;
}

double Median(std::vector<double> v) {
  auto mid = v.begin() + static_cast<long>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// Where the signal rises through +band after it went below -band, in
// samples (between two when it falls there): once a cycle for a tone,
// never for ringing or a click smaller than the band.
std::vector<double> Crossings(const std::vector<double> &x, std::size_t first,
                              std::size_t last, double band) {
  std::vector<double> at;
  bool armed = false;
  for (std::size_t i = first; i <= last; ++i) {
    if (x[i] < -band) {
      armed = true;
    } else if (armed && x[i] >= band) {
      at.push_back(static_cast<double>(i - 1) + (band - x[i - 1]) / (x[i] - x[i - 1]));
      armed = false;
    }
  }
  return at;
}

}  // namespace

std::vector<double> S16Channel(const std::string &bytes, int channels, int channel) {
  const std::size_t frame = 2 * static_cast<std::size_t>(channels);
  const std::size_t frames = bytes.size() / frame;
  std::vector<double> out(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    const std::size_t at = f * frame + 2 * static_cast<std::size_t>(channel);
    const auto lo = static_cast<uint8_t>(bytes[at]), hi = static_cast<uint8_t>(bytes[at + 1]);
    out[f] = static_cast<int16_t>(static_cast<uint16_t>(lo | hi << 8)) / kS16Scale;
  }
  return out;
}

std::ostream &operator<<(std::ostream &os, const ToneMeasure &m) {
  char text[200];
  snprintf(text, sizeof text,
           "%.4f s from %.4f s at %.2f Hz, longest gap %.1f ms, other sound %.1f ms before, "
           "%.1f ms after",
           m.seconds, m.start, m.hz, m.longestGap * 1000, m.extraBefore * 1000,
           m.extraAfter * 1000);
  return os << text;
}

ToneMeasure MeasureTone(const std::vector<double> &x, int rate) {
  ToneMeasure m;
  const std::vector<Kind> kind = Classify(x, rate);
  const auto sound = [&](std::size_t i) { return kind[i] == Kind::kSound; };
  std::size_t first = 0, last = x.size();
  while (first < x.size() && !sound(first)) ++first;
  if (first == x.size()) return m;
  while (!sound(last - 1)) --last;
  --last;

  std::vector<double> magnitudes;
  for (std::size_t i = first; i <= last; ++i)
    if (sound(i)) magnitudes.push_back(std::fabs(x[i]));
  const std::vector<double> at = Crossings(x, first, last, kBandShare * Median(magnitudes));
  if (at.size() >= 2) {
    std::vector<double> periods;
    for (std::size_t i = 1; i < at.size(); ++i) periods.push_back(at[i] - at[i - 1]);
    const double period = Median(periods);
    double total = 0;
    int cycles = 0;
    for (double p : periods) {
      if (p > kLongPeriod * period) continue;
      total += p;
      ++cycles;
    }
    m.hz = cycles * rate / total;
    // The tone's edges lie within kEdgePeriods of its outer crossings;
    // sound further out is something else.
    const double from = at.front() - kEdgePeriods * period;
    const double to = at.back() + kEdgePeriods * period;
    while (static_cast<double>(first) < from || !sound(first)) ++first;
    while (static_cast<double>(last) > to || !sound(last)) --last;
  }

  m.start = static_cast<double>(first) / rate;
  m.seconds = static_cast<double>(last - first + 1) / rate;
  std::size_t run = 0, longest = 0;
  for (std::size_t i = first; i <= last; ++i) {
    run = sound(i) ? 0 : run + 1;
    longest = std::max(longest, run);
  }
  m.longestGap = static_cast<double>(longest) / rate;
  const auto loud = [&](std::size_t from, std::size_t to) {
    return static_cast<double>(std::count_if(kind.begin() + static_cast<long>(from),
                                             kind.begin() + static_cast<long>(to),
                                             [](Kind k) { return k != Kind::kQuiet; })) /
           rate;
  };
  m.extraBefore = loud(0, first);
  m.extraAfter = loud(last + 1, kind.size());
  return m;
}

std::ostream &operator<<(std::ostream &os, const StreamMatch &m) {
  return os << "{lead " << m.lead << ", common " << m.common << ", missing " << m.missing
            << ", extra " << m.extra << (m.extraSilent ? " silent" : " not silent") << "}";
}

// The stream may begin anywhere in the recording's leading zeros (its own
// first bytes may be zero too): the start that matches longest counts.
StreamMatch CompareStream(const std::string &sent, const std::string &recorded) {
  std::size_t zeros = std::min(recorded.find_first_not_of('\0'), recorded.size());
  StreamMatch m;
  m.common = 0;
  for (std::size_t lead = 0; lead <= zeros; ++lead) {
    std::size_t shorter = std::min(sent.size(), recorded.size() - lead), common = 0;
    while (common < shorter && sent[common] == recorded[lead + common]) ++common;
    if (lead > 0 && common <= m.common) continue;
    m.lead = lead;
    m.common = common;
    if (common == shorter) break;
  }
  m.missing = sent.size() - m.common;
  // Past a difference, everything after it counts as other sound.
  std::size_t end = m.lead + (recorded.size() - m.lead > sent.size() ? sent.size() : m.common);
  m.extra = recorded.size() - end;
  m.extraSilent = recorded.find_first_not_of('\0', end) == std::string::npos;
  return m;
}

}  // namespace vdltest
