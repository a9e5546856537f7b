// The bound of the ticket lock protocol: one thread doing, in a loop, the
// file operations of a new request (pointer file, lock file written and read
// back around the 1 ms sleep, counter read and written, lock removed, then
// the request, server and wait files) and nothing else. No server can issue
// new tickets in one install root faster than this loop; the benchmark
// compares the host's rate with it.
//
//   bench_lock_protocol_loop DIR SECONDS   -> prints "<tickets per second>"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

bool WriteText(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

std::string ReadLine(const std::string& path) {
  std::string line;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return line;
  char buffer[1024];
  if (std::fgets(buffer, sizeof buffer, file) != nullptr) line = buffer;
  std::fclose(file);
  return line;
}

bool CanRead(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIR SECONDS\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  const double seconds = std::atof(argv[2]);
  const std::string pointer = root + "/dudarovuvadu.dir";
  const std::string lock = root + "/dudarovuvadu.cnt.in.lock";
  const std::string counter = root + "/dudarovuvadu.cnt.in.txt";
  const std::string identity = "logon=bench&command=echo&p2=&p3=\r\n";
  if (!WriteText(pointer, root + "\r\n")) {
    std::fprintf(stderr, "cannot write in %s\n", root.c_str());
    return 1;
  }

  long tickets = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    // Counter: pointer file, wait for the lock, write it, sleep, read it back.
    (void)ReadLine(pointer);
    (void)CanRead(lock);
    WriteText(lock, identity);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (ReadLine(lock) != identity) return 1;
    const long next = std::atol(ReadLine(counter).c_str()) % 1000000 + 1;
    WriteText(counter, std::to_string(next) + "\r\n");
    std::remove(lock.c_str());
    // Exchange: the request file must be new, an old flag goes, three files.
    const std::string ticket = std::to_string(next);
    (void)ReadLine(pointer);
    (void)CanRead(root + "/in/" + ticket + ".req");
    std::remove((root + "/out/" + ticket + ".rdy").c_str());
    WriteText(root + "/in/" + ticket + ".srv", "http\r\n127.0.0.1\r\n8080\r\n");
    WriteText(root + "/in/" + ticket + ".req",
              "/scripts/dudarovuvadu.dll\r\nbench\r\necho\r\n" + ticket + "\r\n\r\n\r\n");
    WriteText(root + "/out/" + ticket + ".tmp", std::string(560, 'w'));
    ++tickets;
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.1f\n", static_cast<double>(tickets) / elapsed);
  return 0;
}
