// Throughput of the five SHA-1 block functions and of OpenSSL's SHA-1, each
// hashing the same 64 MiB in memory, in one run.
//
// OpenSSL is measured twice: with its defaults (whatever vector or SHA code it
// picks on this processor) and with OPENSSL_ia32cap=0:0, which restricts it to
// its general-purpose scalar code. libcrypto reads that variable once, when it
// is loaded, so the scalar measurement runs in a worker: this same program,
// started again with the variable set, hashing on request and reporting the
// processor time each pass took. The parent feeds those times to the
// benchmark library, so all seven figures come from one run and one report.
//
// Every benchmark checks its digest against the others before it reports.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "sha1/block_functions.h"
#include "sha1/block_selection.h"
#include "sha1/sha1.h"

extern char** environ;

namespace {

constexpr uint32_t kMessageBytes = 64u << 20;
constexpr char kWorkerFlag[] = "--openssl-scalar-worker";

// The same bytes in the parent and in the worker.
const std::vector<uint8_t>& Message() {
  static const std::vector<uint8_t> message = [] {
    std::vector<uint8_t> bytes(kMessageBytes);
    uint64_t state = 0x9E3779B97F4A7C15;
    for (uint8_t& byte : bytes) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      byte = static_cast<uint8_t>(state >> 56);
    }
    return bytes;
  }();
  return message;
}

using Digest = std::array<uint8_t, 20>;

Digest OpenSslSha1(const std::vector<uint8_t>& message) {
  Digest digest;
  unsigned int length = 0;
  EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_sha1(), nullptr);
  return digest;
}

Digest OurSha1(Sha1BlockFunction function, const std::vector<uint8_t>& message) {
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.blockFunction = function;
  hasher.Reset();
  hasher.Update(message.data(), static_cast<uint32_t>(message.size()));
  Digest digest;
  hasher.Final(digest.data());
  return digest;
}

int64_t ThreadCpuNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The worker's side: for every request byte, hash the message once and
// answer with the processor time it took, in nanoseconds, and the digest.
// Processor time, like the benchmark library's own rate, leaves out the time
// the worker waited for a processor on a shared machine.
int RunWorker() {
  const std::vector<uint8_t>& message = Message();
  char request;
  while (read(STDIN_FILENO, &request, 1) == 1) {
    int64_t start = ThreadCpuNanoseconds();
    Digest digest = OpenSslSha1(message);
    int64_t nanoseconds = ThreadCpuNanoseconds() - start;
    if (write(STDOUT_FILENO, &nanoseconds, sizeof(nanoseconds)) != sizeof(nanoseconds) ||
        write(STDOUT_FILENO, digest.data(), digest.size()) != static_cast<ssize_t>(digest.size())) {
      return 1;
    }
  }
  return 0;
}

// The parent's handle on the worker: started on first use, ended at exit.
class ScalarOpenSslWorker {
 public:
  ~ScalarOpenSslWorker() {
    if (pid_ > 0) {
      close(requests_);
      close(answers_);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Hashes the message once in the worker. False if the worker is not
  // running.
  bool Hash(int64_t* nanoseconds, Digest* digest) {
    if (pid_ <= 0 && !Start()) return false;
    char request = 'h';
    return write(requests_, &request, 1) == 1 && ReadAll(nanoseconds, sizeof(*nanoseconds)) &&
           ReadAll(digest->data(), digest->size());
  }

 private:
  bool Start() {
    int toWorker[2];
    int fromWorker[2];
    if (pipe(toWorker) != 0 || pipe(fromWorker) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toWorker[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromWorker[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, toWorker[1]);
    posix_spawn_file_actions_addclose(&actions, fromWorker[0]);

    std::vector<std::string> environment = {"OPENSSL_ia32cap=0:0"};
    for (char** variable = environ; *variable != nullptr; ++variable) {
      if (strncmp(*variable, "OPENSSL_ia32cap=", 16) != 0) environment.push_back(*variable);
    }
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string flag = kWorkerFlag;
    char* argv[] = {program.data(), flag.data(), nullptr};

    int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(toWorker[0]);
    close(fromWorker[1]);
    requests_ = toWorker[1];
    answers_ = fromWorker[0];
    if (spawned != 0) {
      pid_ = 0;
      return false;
    }
    return true;
  }

  bool ReadAll(void* buffer, size_t length) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (length != 0) {
      ssize_t got = read(answers_, out, length);
      if (got <= 0) return false;
      out += got;
      length -= static_cast<size_t>(got);
    }
    return true;
  }

  pid_t pid_ = 0;
  int requests_ = -1;
  int answers_ = -1;
};

ScalarOpenSslWorker& Worker() {
  static ScalarOpenSslWorker worker;
  return worker;
}

const Digest& ExpectedDigest() {
  static const Digest digest = OpenSslSha1(Message());
  return digest;
}

void BM_Sha1(benchmark::State& state, const Sha1BlockVariant& variant) {
  SelectSha1BlockFunction();
  if (!Allows(UsableCpuFeatureFlags, variant)) {
    state.SkipWithError("this machine cannot run this block function");
    return;
  }
  const std::vector<uint8_t>& message = Message();
  Digest digest = {};
  for (auto _ : state) {
    digest = OurSha1(variant.function, message);
    benchmark::DoNotOptimize(digest);
  }
  if (digest != ExpectedDigest()) state.SkipWithError("digest differs from OpenSSL's");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMessageBytes);
}

void BM_OpenSslDefault(benchmark::State& state) {
  const std::vector<uint8_t>& message = Message();
  Digest digest = {};
  for (auto _ : state) {
    digest = OpenSslSha1(message);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMessageBytes);
}

void BM_OpenSslScalar(benchmark::State& state) {
  for (auto _ : state) {
    int64_t nanoseconds = 0;
    Digest digest;
    if (!Worker().Hash(&nanoseconds, &digest)) {
      state.SkipWithError("the scalar OpenSSL worker did not answer");
      return;
    }
    if (digest != ExpectedDigest()) {
      state.SkipWithError("the worker's digest differs");
      return;
    }
    state.SetIterationTime(static_cast<double>(nanoseconds) * 1e-9);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMessageBytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], kWorkerFlag) == 0) return RunWorker();

  for (const Sha1BlockVariant& variant : kSha1BlockVariants) {
    benchmark::RegisterBenchmark(variant.name, BM_Sha1, variant)->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("OpenSslDefault", BM_OpenSslDefault)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("OpenSslScalar", BM_OpenSslScalar)->UseManualTime()->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
