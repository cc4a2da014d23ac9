// Publishing to a local mosquitto broker: the sustained rate (samples per second, five
// channels, as fast as the publisher takes them) and the delay from a sample's hand-over to
// a subscriber, at a steady 10,000 samples per second (median and p99).
//   build/bin/bench_publish [--samples N] [--seconds S]
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/publish/publish.h"
#include "tests/support/freeport.h"

using namespace zrvlog::publish;
using Clock = std::chrono::steady_clock;

namespace {

// What the subscriber saw: the hand-over instants are indexed by the sample's index.
struct Seen {
  std::mutex mutex;
  std::vector<Clock::time_point> sent;
  std::vector<double> delaysMs;
  std::vector<char> got;
  std::atomic<std::size_t> count{0};
};

void onMessage(mosquitto*, void* obj, const mosquitto_message* m) {
  auto* seen = static_cast<Seen*>(obj);
  const auto now = Clock::now();
  const std::string_view text(static_cast<const char*>(m->payload), std::size_t(m->payloadlen));
  std::lock_guard lock(seen->mutex);
  for (std::size_t at = text.find("\"key\":\""); at != std::string_view::npos;
       at = text.find("\"key\":\"", at + 1)) {
    const std::size_t dash = text.find('-', at);
    const std::size_t index = std::strtoull(text.data() + dash + 1, nullptr, 10);
    if (index >= seen->got.size() || seen->got[index]) continue;
    seen->got[index] = 1;
    ++seen->count;
    seen->delaysMs.push_back(
        std::chrono::duration<double, std::milli>(now - seen->sent[index]).count());
  }
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

// One phase: `total` samples handed over at `perSecond` (0: as fast as possible).
void phase(int port, const std::filesystem::path& dir, const char* name, std::size_t total,
           double perSecond) {
  Seen seen;
  seen.sent.resize(total);
  seen.got.assign(total, 0);
  mosquitto* sub = mosquitto_new(nullptr, true, &seen);
  mosquitto_message_callback_set(sub, onMessage);
  if (mosquitto_connect(sub, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "bench_publish: the subscriber cannot connect\n");
    std::exit(1);
  }
  mosquitto_subscribe(sub, nullptr, "bench/+/samples", 1);
  mosquitto_loop_start(sub);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  PublisherOptions options;
  options.url =
      *parseBrokerUrl("mqtt://127.0.0.1:" + std::to_string(port) + "/bench/" + name, nullptr);
  options.outbox = dir / name;
  Publisher publisher(options);
  std::string why;
  if (!publisher.start(&why) ||
      publisher.waitFirstAnswer(std::chrono::seconds(5)) != Link::Connected) {
    std::fprintf(stderr, "bench_publish: %s %s\n", why.c_str(), publisher.linkError().c_str());
    std::exit(1);
  }
  RunInfo run;
  run.runId = "1";
  run.intervalMs = 1;
  for (int c = 0; c < 5; ++c)
    run.channels.push_back({"Ch" + std::to_string(c), "V"});
  publisher.runStarted(run);

  const auto start = Clock::now();
  for (std::size_t i = 0; i < total; ++i) {
    if (perSecond > 0) {
      const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(double(i) / perSecond));
      if (due > Clock::now()) std::this_thread::sleep_until(due);
    }
    Sample s;
    s.index = i;
    s.unixMs = 1796764530555 + std::int64_t(i);
    s.elapsed = double(i) * 0.001;
    s.values = {2.5, 0.49, 1.25, 3.75, 4.99};
    {
      std::lock_guard lock(seen.mutex);
      seen.sent[i] = Clock::now();
    }
    publisher.add(s);
  }
  const auto handed = Clock::now();
  const auto until = handed + std::chrono::seconds(60);
  while (seen.count < total && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  publisher.stop(std::chrono::seconds(5));
  mosquitto_disconnect(sub);
  mosquitto_loop_stop(sub, true);
  mosquitto_destroy(sub);
  std::lock_guard lock(seen.mutex);
  std::printf(
      "%-12s %8zu of %zu samples in %6.2f s: %9.0f samples/s; delay median %6.1f ms, "
      "p99 %6.1f ms, max %6.1f ms\n",
      name, std::size_t(seen.count), total, seconds, double(seen.count) / seconds,
      percentile(seen.delaysMs, 0.5), percentile(seen.delaysMs, 0.99),
      percentile(seen.delaysMs, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t samples = 200000;
  double steadySeconds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--samples") == 0) samples = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--seconds") == 0) steadySeconds = std::atof(argv[i + 1]);
  }
  mosquitto_lib_init();
  char tmpl[] = "/tmp/bench_publish-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(tmpl);
  const int port = zrvtest::freeLoopbackPort();
  const passwd* me = ::getpwuid(::geteuid());
  std::ofstream(dir / "mosquitto.conf")
      << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
      << "user " << (me ? me->pw_name : "root") << "\n"
      << "max_queued_messages 0\nlog_dest none\n";
  const pid_t broker = ::fork();
  if (broker == 0) {
    const std::string conf = (dir / "mosquitto.conf").string();
    ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), nullptr);
    ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), nullptr);
    std::perror("bench_publish: mosquitto");
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::printf("local mosquitto, 5 channels, QoS 1, outbox on %s\n", dir.c_str());
  phase(port, dir, "sustained", samples, 0);
  phase(port, dir, "steady-10k", std::size_t(steadySeconds * 10000), 10000);
  ::kill(broker, SIGTERM);
  ::waitpid(broker, nullptr, 0);
  std::filesystem::remove_all(dir);
  mosquitto_lib_cleanup();
  return 0;
}
