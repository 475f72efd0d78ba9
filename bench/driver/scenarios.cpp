#include "scenarios.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "sample_messages.hpp"

namespace quillbeam::bench {

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

HostRun::HostRun(std::string program, const Options& options)
    : program_(std::move(program)), options_(options), home_("quillbeam-bench") {}

void HostRun::start() {
  std::vector<std::string> environment = options_.environment;
  environment.push_back("HOME=" + home_.path.string());
  process_ = std::make_unique<HostProcess>(program_, environment, home_.path / ".bench-stderr");
}

void HostRun::send(std::string_view bytes) {
  process_->exchange(bytes, true, std::chrono::seconds(options_.timeoutSeconds));
}

std::pair<double, double> HostRun::residentAndPeakMiB() {
  std::this_thread::sleep_for(std::chrono::milliseconds(options_.settleMs));
  const auto use = memoryUse(process_->pid());
  if (!use) throw RunFailure("couldn't read the host's memory use");
  return {use->residentKiB / 1024.0, use->peakKiB / 1024.0};
}

double HostRun::finish() {
  const Clock::time_point start = Clock::now();
  const int status = process_->finish(std::chrono::seconds(options_.timeoutSeconds));
  const double ms = millisecondsSince(start);
  if (status == 0) return ms;
  throw RunFailure(WIFSIGNALED(status)
                       ? "host killed by signal " + std::to_string(WTERMSIG(status))
                       : "host exited with status " + std::to_string(WEXITSTATUS(status)));
}

std::string HostRun::lastErrorLine() const {
  std::ifstream in(home_.path / ".bench-stderr");
  std::string last;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) last = line;
  }
  return last;
}

namespace {

const std::string hello = frame(helloMessage);

// Reports of one running session, a few milliseconds apart, milestones advancing, then a
// hello whose reply shows that every report before it was handled.
std::string statesThenHello(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += frame(stateMessage(1718000000123 + i * 7, i % 6));
  return out + hello;
}

Scenario lifecycle(int runs) {
  return {runs,
          {{"spawn to hello reply", "ms", Target{"<=", 1.5, true}},
           {"RSS idle after hello", "MiB", Target{"<=", 3, false}},
           {"peak RSS after hello", "MiB"},
           {"exit after end of input", "ms", Target{"<", 5, false}}},
          [](HostRun& host, std::vector<double>& out) {
            const Clock::time_point spawned = Clock::now();
            host.start();
            host.send(hello);
            out.push_back(millisecondsSince(spawned));
            const auto [resident, peak] = host.residentAndPeakMiB();
            out.insert(out.end(), {resident, peak, host.finish()});
          }};
}

Scenario throughput(int runs, int messages) {
  const std::string n = std::to_string(messages);
  return {runs,
          {{"state messages per second (" + n + ")", "msg/s", Target{">=", 0.8, true}},
           {"RSS after " + n + " messages", "MiB"},
           {"peak RSS after " + n + " messages", "MiB"},
           {"exit after " + n + " messages", "ms"}},
          [messages, burst = statesThenHello(messages)](HostRun& host, std::vector<double>& out) {
            host.start();
            host.send(hello);
            const Clock::time_point start = Clock::now();
            host.send(burst);
            out.push_back(messages / (millisecondsSince(start) / 1000));
            const auto [resident, peak] = host.residentAndPeakMiB();
            out.insert(out.end(), {resident, peak, host.finish()});
          }};
}

// Time to handle one large state report: the report and a hello, until the hello reply.
// 8 MiB is the most a host accepts.
Scenario largeMessages(int runs) {
  Scenario scenario{runs, {}, {}};
  std::vector<std::string> frames;
  for (int mib : {1, 4, 8}) {
    scenario.metrics.push_back(
        {"state message of " + std::to_string(mib) + " MiB", "ms", Target{"<=", 10, true}});
    frames.push_back(frame(largeStateMessage(static_cast<size_t>(mib) << 20)) + hello);
  }
  scenario.run = [frames](HostRun& host, std::vector<double>& out) {
    host.start();
    host.send(hello);
    for (const auto& bytes : frames) {
      const Clock::time_point start = Clock::now();
      host.send(bytes);
      out.push_back(millisecondsSince(start));
    }
    host.finish();
  };
  return scenario;
}

// Resident memory after a long stream of reports, against the idle host and against the
// host after the first tenth (which separates steady growth from warm-up). The reports go
// in blocks of 1000, each closed by a hello whose reply is awaited, so that the host never
// holds more than one block unhandled: what grows is the host, not a backlog.
Scenario growth(int runs, int messages) {
  const int blocks = (messages + 999) / 1000;
  const int warmBlocks = std::max(1, blocks / 10);
  const std::string n = std::to_string(blocks * 1000);
  return {
      runs,
      {{"RSS growth, hello to " + n + " messages", "MiB", Target{"<=", 0.5, false}},
       {"RSS growth, " + std::to_string(warmBlocks * 1000) + " to " + n + " messages", "MiB"},
       {"peak RSS after " + n + " messages", "MiB"}},
      [blocks, warmBlocks, block = statesThenHello(1000)](HostRun& host, std::vector<double>& out) {
        host.start();
        host.send(hello);
        const double idle = host.residentAndPeakMiB().first;
        double warm = idle;
        for (int sent = 1; sent <= blocks; ++sent) {
          host.send(block);
          if (sent == warmBlocks) warm = host.residentAndPeakMiB().first;
        }
        const auto [resident, peak] = host.residentAndPeakMiB();
        out.insert(out.end(), {resident - idle, resident - warm, peak});
        host.finish();
      }};
}

}  // namespace

std::vector<Scenario> scenarios(const Options& o) {
  return {lifecycle(o.startupRuns), throughput(o.throughputRuns, o.messages),
          largeMessages(o.largeRuns), growth(o.growthRuns, o.growthMessages)};
}

}  // namespace quillbeam::bench
