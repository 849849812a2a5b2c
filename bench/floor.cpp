// The floor of the benchmark: each workload done directly with libsndfile's
// C API, with buffers allocated once where the work allows it.
//
//   floor version                      prints the libsndfile version it loads
//   floor WORKLOAD DATADIR REPEATS     prints one elapsed time (seconds) per repeat,
//                                      after one untimed warm-up run
#include <sndfile.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr sf_count_t kBlock = 512;
constexpr sf_count_t kSeekRead = 256;
constexpr int kRate = 44100;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "floor: %s: %s\n", what.c_str(), sf_strerror(nullptr));
  std::exit(1);
}

SNDFILE* open_read(const std::string& path, SF_INFO& info) {
  info = SF_INFO{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) die("open " + path);
  return f;
}

// An uninitialised buffer allocated the way numpy allocates array data:
// malloc, and for large buffers transparent huge pages where the kernel
// offers them. The floor then pays what an array allocation costs, no more.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
std::unique_ptr<T, FreeDeleter> buffer(size_t count) {
  size_t bytes = count * sizeof(T) + 1;
  void* p = std::malloc(bytes);
  if (p == nullptr) die("out of memory");
  if (bytes >= (size_t{1} << 22)) {
    uintptr_t start = (reinterpret_cast<uintptr_t>(p) + 4095) & ~uintptr_t{4095};
    uintptr_t end = reinterpret_cast<uintptr_t>(p) + bytes;
    madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
  }
  return std::unique_ptr<T, FreeDeleter>(static_cast<T*>(p));
}

template <class T, class Read>
void read_whole(const std::string& path, Read read) {
  SF_INFO info;
  SNDFILE* f = open_read(path, info);
  auto data = buffer<T>(static_cast<size_t>(info.frames * info.channels));
  if (read(f, data.get(), info.frames) != info.frames) die("short read");
  sf_close(f);
}

void read_blocks(const std::string& path) {
  SF_INFO info;
  SNDFILE* f = open_read(path, info);
  std::vector<float> block(static_cast<size_t>(kBlock * info.channels));
  for (sf_count_t left = info.frames; left > 0; left -= kBlock) {
    sf_count_t n = left < kBlock ? left : kBlock;
    if (sf_readf_float(f, block.data(), n) != n) die("short read");
  }
  sf_close(f);
}

std::vector<std::string> listed(const std::string& dir, const std::string& set) {
  std::ifstream list(dir + "/" + set + "/list.txt");
  std::vector<std::string> paths;
  for (std::string name; std::getline(list, name);) paths.push_back(dir + "/" + set + "/" + name);
  return paths;
}

void read_many(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) read_whole<double>(path, sf_readf_double);
}

// Every file of the list read whole as float32 on `threads` threads, each
// taking the next file left (as a thread pool hands out tasks) and opening
// its own SNDFILE.
void read_pooled(const std::vector<std::string>& paths, int threads) {
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < paths.size();)
      read_whole<float>(paths[i], sf_readf_float);
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
}

// A whole file held in memory, read through libsndfile's virtual I/O.
struct Memory {
  std::vector<char> bytes;
  sf_count_t position = 0;
};

Memory& memory_of(void* user) { return *static_cast<Memory*>(user); }

SF_VIRTUAL_IO memory_io = {
    [](void* user) { return static_cast<sf_count_t>(memory_of(user).bytes.size()); },
    [](sf_count_t offset, int whence, void* user) {
      Memory& m = memory_of(user);
      sf_count_t size = static_cast<sf_count_t>(m.bytes.size());
      sf_count_t origin = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m.position : size;
      if (origin + offset < 0) return sf_count_t{-1};
      m.position = origin + offset;
      return m.position;
    },
    [](void* data, sf_count_t count, void* user) {
      Memory& m = memory_of(user);
      sf_count_t size = static_cast<sf_count_t>(m.bytes.size());
      sf_count_t n = std::max<sf_count_t>(std::min(count, size - m.position), 0);
      std::memcpy(data, m.bytes.data() + m.position, static_cast<size_t>(n));
      m.position += n;
      return n;
    },
    [](const void*, sf_count_t, void*) { return sf_count_t{0}; },
    [](void* user) { return memory_of(user).position; },
};

Memory loaded(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  Memory m;
  m.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (m.bytes.empty()) die("load " + path);
  return m;
}

void read_memory(Memory& m) {
  m.position = 0;
  SF_INFO info{};
  SNDFILE* f = sf_open_virtual(&memory_io, SFM_READ, &info, &m);
  if (f == nullptr) die("open in memory");
  auto data = buffer<double>(static_cast<size_t>(info.frames * info.channels));
  if (sf_readf_double(f, data.get(), info.frames) != info.frames) die("short read");
  sf_close(f);
}

std::vector<double> write_signal() {
  // The same signal the Python sides write: a stereo sine pair within +-1.
  sf_count_t frames = 60 * kRate;
  std::vector<double> data(static_cast<size_t>(frames * 2));
  for (sf_count_t i = 0; i < frames; ++i) {
    data[2 * i] = 0.5 * std::sin(2 * M_PI * 440.0 * i / kRate);
    data[2 * i + 1] = 0.5 * std::sin(2 * M_PI * 660.0 * i / kRate);
  }
  return data;
}

void write_file(const std::string& dir, const std::vector<double>& data, sf_count_t block,
                bool sync) {
  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  std::string path = dir + "/out_floor.wav";
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) die("open for writing");
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  sf_count_t frames = static_cast<sf_count_t>(data.size() / 2);
  for (sf_count_t done = 0; done < frames; done += block) {
    sf_count_t n = frames - done < block ? frames - done : block;
    if (sf_writef_double(f, data.data() + 2 * done, n) != n) die("short write");
  }
  if (sync) sf_write_sync(f);
  sf_close(f);
}

void seek_and_read(const std::string& dir) {
  std::ifstream list(dir + "/seeks.txt");
  std::vector<sf_count_t> positions;
  for (sf_count_t p; list >> p;) positions.push_back(p);
  SF_INFO info;
  SNDFILE* f = open_read(dir + "/long.wav", info);
  std::vector<double> block(static_cast<size_t>(kSeekRead * info.channels));
  for (sf_count_t p : positions) {
    if (sf_seek(f, p, SEEK_SET) != p) die("seek");
    if (sf_readf_double(f, block.data(), kSeekRead) != kSeekRead) die("short read");
  }
  sf_close(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "version") {
    std::printf("%s\n", sf_version_string());
    return 0;
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: floor version | floor WORKLOAD DATADIR REPEATS\n");
    return 2;
  }
  std::string workload = argv[1], dir = argv[2];
  int repeats = std::atoi(argv[3]);
  std::vector<double> signal;
  if (workload[1] == '6' || workload[1] == '7') signal = write_signal();
  std::vector<std::string> small, pooled;
  if (workload == "W5" || workload == "H4") small = listed(dir, "small");
  if (workload[1] == '8' && workload[0] == 'H') pooled = listed(dir, "pool");
  Memory in_memory;
  if (workload.rfind("H7", 0) == 0) in_memory = loaded(dir + "/long.wav");
  std::map<std::string, std::function<void()>> work = {
      {"W1", [&] { read_whole<double>(dir + "/long.wav", sf_readf_double); }},
      {"W2", [&] { read_whole<short>(dir + "/long.wav", sf_readf_short); }},
      {"W3", [&] { read_blocks(dir + "/long.wav"); }},
      {"W4", [&] { read_whole<float>(dir + "/long.flac", sf_readf_float); }},
      {"W5", [&] { read_many(small); }},
      {"W6", [&] { write_file(dir, signal, static_cast<sf_count_t>(signal.size() / 2), false); }},
      {"W6s", [&] { write_file(dir, signal, static_cast<sf_count_t>(signal.size() / 2), true); }},
      {"W7", [&] { write_file(dir, signal, kBlock, false); }},
      {"W7s", [&] { write_file(dir, signal, kBlock, true); }},
      {"W8", [&] { seek_and_read(dir); }},
      {"H7", [&] { read_memory(in_memory); }},
      {"H8t1", [&] { read_pooled(pooled, 1); }},
      {"H8t2", [&] { read_pooled(pooled, 2); }},
  };
  // The other high-level workloads do the work of a low-level one (the
  // floor's block loop reads into one buffer whether or not the caller lends one).
  for (auto [high, low] : {std::pair{"H1", "W1"}, {"H2", "W2"}, {"H3", "W4"}, {"H4", "W5"},
                           {"H5", "W3"}, {"H6", "W3"}, {"H7v", "H7"}})
    work[high] = work[low];
  auto it = work.find(workload);
  if (it == work.end()) {
    std::fprintf(stderr, "floor: unknown workload %s\n", workload.c_str());
    return 2;
  }
  it->second();  // warm-up
  for (int r = 0; r < repeats; ++r) {
    auto start = std::chrono::steady_clock::now();
    it->second();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%.9f\n", elapsed.count());
  }
  return 0;
}
