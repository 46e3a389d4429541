// Cost of the receive path and of the cycle completion, and the heap
// allocations they make. The driver's diagnostic lines go to /dev/null; the
// results go to the original standard output.
//   build-bench/bench/zota_bench [--benchmark_filter=REGEX] [--benchmark_format=json]
// (the formats are console and json)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "drivers/zota_up2200/zota_up2200.h"
#include "support/json.h"
#include "support/samples.h"
#include "support/stdout.h"

// ---- heap allocation counter -------------------------------------------------

namespace {
std::size_t g_allocations = 0;  // the benchmarks run on one thread
}  // namespace

// Out of line, so the compiler never pairs an inlined free() with a new-expression.
__attribute__((noinline)) void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// ---- inputs --------------------------------------------------------------------

using test_support::kReply;
constexpr char kOtherReply[] = "(240.0 239.5 240.0 045 55.0 2.20 35.0 10001000\r";
constexpr std::size_t kReplyLen = test_support::kReplyLength;
static_assert(sizeof(kReply) == sizeof(kOtherReply), "both replies have one length");
constexpr unsigned int kBufSize = QDXSPDevice::kRecvBufSize;

// Six working report settings, one per checked signal, all three tests on.
constexpr char kSixReports[] = R"({
  "appSetting": {"b_mode": 1},
  "aoSetting": {
    "2A2110400001": {"absEnabled": true, "absDelta": 2, "pctEnabled": true, "pctDelta": 5,
                     "periodEnabled": true, "periodMinutes": 5},
    "2A2110400002": {"absEnabled": true, "absDelta": 2, "pctEnabled": true, "pctDelta": 5,
                     "periodEnabled": true, "periodMinutes": 5},
    "2A2113A00001": {"absEnabled": true, "absDelta": 2, "pctEnabled": true, "pctDelta": 5,
                     "periodEnabled": true, "periodMinutes": 5},
    "2A2111000001": {"absEnabled": true, "absDelta": 2, "pctEnabled": true, "pctDelta": 5,
                     "periodEnabled": true, "periodMinutes": 5},
    "2A2111800001": {"absEnabled": true, "absDelta": 2, "pctEnabled": true, "pctDelta": 5,
                     "periodEnabled": true, "periodMinutes": 5},
    "2A2127200001": {"absEnabled": true, "absDelta": 2, "pctEnabled": true, "pctDelta": 5,
                     "periodEnabled": true, "periodMinutes": 5}
  }
})";

struct Reply {
  unsigned char bytes[kReplyLen];
  explicit Reply(const char* text) { std::memcpy(bytes, text, kReplyLen); }
};

// A device as the controller holds it after a poll.
std::unique_ptr<ZOTA_UP2200> PolledDevice() {
  auto dev = std::make_unique<ZOTA_UP2200>();
  dev->data_id_ = 1;
  dev->RefreshStatus();
  return dev;
}

void ReportAllocations(benchmark::State& state, std::size_t allocations) {
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

// ---- one decoded reply per iteration -------------------------------------------

// The whole reply arrives in chunks of `chunk` bytes (the last may be shorter).
void DecodedReply(benchmark::State& state, std::size_t chunk) {
  auto dev = PolledDevice();
  Reply reply(kReply);
  const std::size_t before = g_allocations;
  for (auto _ : state) {
    for (std::size_t at = 0; at < kReplyLen; at += chunk) {
      const std::size_t n = kReplyLen - at < chunk ? kReplyLen - at : chunk;
      benchmark::DoNotOptimize(dev->process(reply.bytes + at, static_cast<unsigned int>(n)));
    }
  }
  ReportAllocations(state, g_allocations - before);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kReplyLen));
}

void BM_ReplyOneChunk(benchmark::State& state) { DecodedReply(state, kReplyLen); }
void BM_ReplyByteByByte(benchmark::State& state) { DecodedReply(state, 1); }
void BM_ReplyEightByteChunks(benchmark::State& state) { DecodedReply(state, 8); }

// ---- a chunk without CR against a plain memchr and memcpy ------------------------

// The receive buffer is emptied the way the controller's Reset() does before it
// would overflow, outside the driver so both loops do the same work.
void BM_ChunkWithoutCR(benchmark::State& state) {
  const auto len = static_cast<unsigned int>(state.range(0));
  auto dev = PolledDevice();
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[len]);
  std::memset(chunk.get(), 'x', len);
  const std::size_t before = g_allocations;
  for (auto _ : state) {
    if (static_cast<unsigned int>(dev->recv_len_) + len > kBufSize) dev->recv_len_ = 0;
    benchmark::DoNotOptimize(dev->process(chunk.get(), len));
  }
  ReportAllocations(state, g_allocations - before);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * len));
}

void BM_MemchrMemcpyBaseline(benchmark::State& state) {
  const auto len = static_cast<unsigned int>(state.range(0));
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kBufSize]);
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[len]);
  std::memset(chunk.get(), 'x', len);
  unsigned int held = 0;
  for (auto _ : state) {
    if (held + len > kBufSize) held = 0;
    const void* cr = std::memchr(chunk.get(), zota::kCR, len);
    benchmark::DoNotOptimize(cr);
    if (cr == nullptr) {
      std::memcpy(buf.get() + held, chunk.get(), len);
      held += len;
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * len));
}

// ---- a full cycle in mode 1 with six analogue reports ---------------------------

// Poll and reply; the two replies alternate so every cycle reports all six values.
void BM_FullCycleSixReports(benchmark::State& state) {
  auto dev = PolledDevice();
  try {
    dev->InitSetting(test_support::ParseJson(kSixReports));
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  std::size_t reports = 0;
  dev->sinks_.ao_report = [&reports](const std::string&, float) { ++reports; };
  Reply replies[2] = {Reply(kReply), Reply(kOtherReply)};
  std::size_t which = 0;
  const std::size_t before = g_allocations;
  for (auto _ : state) {
    dev->RefreshStatus();
    benchmark::DoNotOptimize(dev->process(replies[which].bytes, kReplyLen));
    which ^= 1;
  }
  ReportAllocations(state, g_allocations - before);
  state.counters["reports"] =
      benchmark::Counter(static_cast<double>(reports), benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_ReplyOneChunk);
BENCHMARK(BM_ReplyByteByByte);
BENCHMARK(BM_ReplyEightByteChunks);
BENCHMARK(BM_ChunkWithoutCR)->Arg(8)->Arg(47)->Arg(256);
BENCHMARK(BM_MemchrMemcpyBaseline)->Arg(8)->Arg(47)->Arg(256);
BENCHMARK(BM_FullCycleSixReports);

// ---- output routing -------------------------------------------------------------

// Writes to a stdio stream, here a copy of the original standard output.
class FileBuf : public std::streambuf {
 public:
  explicit FileBuf(std::FILE* f) : file_(f) {}

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    return std::fputc(c, file_) == EOF ? traits_type::eof() : c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    return static_cast<std::streamsize>(std::fwrite(s, 1, static_cast<std::size_t>(n), file_));
  }
  int sync() override { return std::fflush(file_); }

 private:
  std::FILE* file_;
};

std::unique_ptr<benchmark::BenchmarkReporter> MakeReporter(int argc, char** argv, int results_fd) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--benchmark_format=json") return std::make_unique<benchmark::JSONReporter>();
  }
  // Colour only on a terminal; standard output itself now points at /dev/null.
  return std::make_unique<benchmark::ConsoleReporter>(
      isatty(results_fd) ? benchmark::ConsoleReporter::OO_ColorTabular
                         : benchmark::ConsoleReporter::OO_Tabular);
}

}  // namespace

int main(int argc, char** argv) {
  const int results_fd = dup(STDOUT_FILENO);
  std::FILE* results = results_fd < 0 ? nullptr : fdopen(results_fd, "w");
  if (results == nullptr) {
    std::perror("zota_bench: copying standard output");
    return 1;
  }
  test_support::SilenceStdout();  // the driver's diagnostic lines
  FileBuf results_buf(results);
  std::ostream results_stream(&results_buf);

  // Memory of one device object, and what its construction takes from the heap.
  const std::size_t before = g_allocations;
  { ZOTA_UP2200 probe; }
  const std::size_t construct_allocations = g_allocations - before;
  benchmark::AddCustomContext("sizeof(ZOTA_UP2200)", std::to_string(sizeof(ZOTA_UP2200)));
  benchmark::AddCustomContext("heap allocations to construct one device",
                              std::to_string(construct_allocations));
  benchmark::AddCustomContext("reply bytes", std::to_string(kReplyLen));

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  auto reporter = MakeReporter(argc, argv, results_fd);
  reporter->SetOutputStream(&results_stream);
  reporter->SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(reporter.get());
  benchmark::Shutdown();
  results_stream.flush();
  std::fclose(results);
  return 0;
}
