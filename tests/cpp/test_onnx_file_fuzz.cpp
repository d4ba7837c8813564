// Vekra::Onnx::readDeclaredGraph on damaged and crafted files: truncations of real models at
// every length, seeded random byte changes, lengths past their parent or the file, deep
// nesting and varints at their limits. Each file is read or refused with std::runtime_error;
// nothing else may come out, and the reader may neither hang nor allocate what a length in the
// file asks for. The cases run in a child process: with an alarm against hangs and, in a
// plain build, an address-space limit that any allocation a crafted length chooses runs into
// (std::bad_alloc). Under AddressSanitizer, whose reservations make that limit moot, an
// allocation hook checks that no allocation exceeds a fixed multiple of the file's size.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "model_files.h"
#include "protobuf_writer.h"
#include "utils/OnnxFile"

namespace {

// Within this many bytes per byte of the file (the declared tensors and dimensions take more
// room than their encoding), plus the reader's buffer and the containers' first blocks.
constexpr std::size_t bytesPerFileByte = 64;
constexpr std::size_t allocationSlack = 64 * 1024;

thread_local bool t_watching = false;
thread_local std::size_t t_largest = 0;

#ifdef __SANITIZE_ADDRESS__
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));
const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t size) {
      if (t_watching && size > t_largest) t_largest = size;
    },
    [](const volatile void*) {});
constexpr bool sizesWatched = true;
#else
constexpr bool sizesWatched = false;
#endif

// A key and a length without the contents it announces.
std::string announced(uint32_t number, uint64_t length) { return varint(uint64_t{number} << 3 | 2) + varint(length); }

// `depth` fields 99 nested one in the next, the innermost empty.
std::string nestedFields(std::size_t depth) {
  std::vector<std::string> heads(depth);
  std::size_t length = 0;
  for (std::size_t k = depth; k-- > 0;) {
    heads[k] = announced(99, length);
    length += heads[k].size();
  }
  std::string all;
  all.reserve(length);
  for (const std::string& head : heads) all += head;
  return all;
}

// graph > input > type > tensor_type > shape > dim > dim_param, innermost `inner`.
std::string inDimension(const std::string& inner) {
  return field(7, field(11, field(2, field(1, field(2, field(1, inner))))));
}

// Reads `bytes` as a model file; "" when it is read or refused as it should be, else what
// went wrong.
std::string problemReading(const std::string& path, const std::string& bytes) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) return "cannot write " + path;
  }
  t_largest = 0;
  t_watching = true;
  std::string problem;
  try {
    Vekra::Onnx::readDeclaredGraph(path);
  } catch (const Vekra::Onnx::NotRegularFile& e) {
    problem = std::string("NotRegularFile: ") + e.what();
  } catch (const std::runtime_error&) {
  } catch (const std::bad_alloc&) {
    problem = "std::bad_alloc";
  } catch (const std::exception& e) {
    problem = std::string("an exception: ") + e.what();
  }
  t_watching = false;
  if (problem.empty() && t_largest > bytesPerFileByte * bytes.size() + allocationSlack)
    problem = "an allocation of " + std::to_string(t_largest) + " bytes";
  return problem;
}

// Runs every case in a child: exit status 0 when all pass; a failing case is printed.
void inChild(const std::vector<std::string>& cases) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("vekra_onnx_fuzz_" + std::to_string(getpid()) + ".onnx")).string();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(120);
    if (!sizesWatched) {
      // What the process has mapped now, and 256 MiB more.
      std::ifstream status("/proc/self/status");
      std::string line;
      unsigned long long kib = 0;
      while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0) kib = std::stoull(line.substr(7));
      const rlimit limit{static_cast<rlim_t>((kib << 10) + (256ull << 20)), RLIM_INFINITY};
      if (kib == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    }
    int failures = 0;
    for (std::size_t k = 0; k < cases.size(); ++k) {
      const std::string problem = problemReading(path, cases[k]);
      if (!problem.empty() && failures++ < 5)
        std::fprintf(stderr, "case %zu (%zu bytes): %s\n", k, cases[k].size(), problem.c_str());
    }
    std::remove(path.c_str());
    std::fflush(stderr);
    _exit(failures == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  std::remove(path.c_str());
  ASSERT_FALSE(WIFSIGNALED(status)) << "the reader died of signal " << WTERMSIG(status)
                                    << (WTERMSIG(status) == SIGALRM ? " (it hung)" : "");
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the cases printed above";
}

const std::vector<std::string> models = {"conv_bn", "element_types", "dynamic", "sequence_output", "two_inputs"};

}  // namespace

TEST(OnnxFileFuzz, EveryTruncation) {
  std::vector<std::string> cases;
  for (const std::string& name : models) {
    const std::string whole = bytesOf(modelPath(name));
    ASSERT_FALSE(whole.empty()) << name;
    for (std::size_t n = 0; n <= whole.size(); ++n) cases.push_back(whole.substr(0, n));
  }
  inChild(cases);
}

TEST(OnnxFileFuzz, SeededByteChanges) {
  std::mt19937_64 random(20240611);
  std::vector<std::string> cases;
  for (const std::string& name : models) {
    const std::string whole = bytesOf(modelPath(name));
    for (int k = 0; k < 600; ++k) {
      std::string damaged = whole;
      const int changes = 1 + static_cast<int>(random() % 4);
      for (int c = 0; c < changes; ++c) {
        const std::size_t at = random() % damaged.size();
        switch (random() % 3) {
          case 0: damaged[at] = static_cast<char>(random()); break;                      // any byte
          case 1: damaged[at] = static_cast<char>(damaged[at] ^ (1 << (random() % 8))); break;  // one bit
          default: damaged[at] = static_cast<char>(damaged[at] | 0x80); break;          // a varint goes on
        }
      }
      cases.push_back(std::move(damaged));
    }
  }
  inChild(cases);
}

TEST(OnnxFileFuzz, LengthsPastTheirParentOrTheFile) {
  std::vector<std::string> cases;
  for (const uint64_t length : {uint64_t{1} << 20, uint64_t{1} << 30, uint64_t{1} << 31, uint64_t{1} << 40,
                                uint64_t{1} << 62, ~uint64_t{0}}) {
    // at the top, in the graph, in an input's name, in a dim_param
    cases.push_back(announced(7, length));
    cases.push_back(field(7, "") + announced(7, length));
    cases.push_back("\x3a\x01\x5a" + varint(length) + "\x0a" + varint(length >> 1));
    cases.push_back("\x3a\x0c\x5a\x0a\x12\x08\x0a\x06\x12\x04\x0a\x02\x12" + varint(length));
    cases.push_back(inDimension(announced(2, length)));
    cases.push_back(field(7, field(11, announced(1, length))));
    // a skipped field, an initializer's name, a sparse initializer
    cases.push_back(field(7, announced(1, length)));
    cases.push_back(field(7, field(5, announced(8, length))));
    cases.push_back(field(7, field(15, announced(1, length))));
  }
  // a length one past its parent, at every level
  const std::string dimension = field(2, "N");
  for (std::size_t cut = 1; cut < 8; ++cut) {
    std::string bytes = inDimension(dimension);
    bytes[2 * cut - 1] = static_cast<char>(bytes[2 * cut - 1] + 1);
    cases.push_back(bytes);
  }
  inChild(cases);
}

TEST(OnnxFileFuzz, DeepNestingAndVarintLimits) {
  std::vector<std::string> cases;
  // 200000 nested unknown fields inside a graph, and inside a dimension
  const std::string nested = nestedFields(200000);
  cases.push_back(field(7, nested));
  cases.push_back(inDimension(nested));
  // 100000 dimensions of nothing: the declared dimensions take more room than the file
  std::string dims;
  for (int k = 0; k < 100000; ++k) dims += field(1, "");
  cases.push_back(field(7, field(11, field(2, field(1, field(2, dims))))));
  // varints: 10 bytes (the most), 11 bytes, one running into the end, keys past 32 bits, field 0
  const std::string tenBytes = std::string(9, '\xff') + '\x01';
  cases.push_back(field(7, "") + "\x08" + tenBytes);
  cases.push_back(field(7, "") + "\x08" + std::string(10, '\xff') + '\x01');
  cases.push_back(field(7, "") + "\x08\xff\xff");
  cases.push_back(field(7, "") + varint(uint64_t{1} << 35 | 2) + varint(0));
  cases.push_back(field(7, "") + "\x02" + varint(0));
  cases.push_back(inDimension(std::string("\x08") + tenBytes));
  // groups nested past protobuf's depth, and groups never closed
  std::string opened, closed;
  for (int depth = 0; depth < 100000; ++depth) opened += varint(static_cast<uint64_t>(15 + depth % 7) << 3 | 3);
  for (int depth = 100000; depth-- > 0;) closed += varint(static_cast<uint64_t>(15 + depth % 7) << 3 | 4);
  cases.push_back(field(7, "") + opened + closed);
  cases.push_back(field(7, "") + opened);
  cases.push_back(inDimension(opened));
  // every wire type, groups and the undefined ones included, at the top and in a graph
  for (int wire = 0; wire < 8; ++wire) {
    cases.push_back(field(7, "") + static_cast<char>(15 << 3 | wire) + std::string(8, '\x01'));
    cases.push_back(field(7, std::string(1, static_cast<char>(15 << 3 | wire)) + std::string(8, '\x01')));
  }
  inChild(cases);
}
