// The bound of the ticket lock protocol: one thread doing, in a loop, the
// file operations of taking a ticket (the lock probed, created exclusively
// and read back around the 1 ms sleep, the counter read, its new value
// written to a temporary file renamed over it, the lock removed) and nothing
// else. Tickets are issued one at a time
// under that lock, so no server can issue them in one install root faster
// than this loop; the benchmark compares the host's rate of new requests
// with it. (The request, server and wait files are written after the lock is
// released, so requests overlap there and those writes do not bound it.)
//
//   bench_lock_protocol_loop DIR SECONDS   -> prints "<tickets per second>"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

bool WriteText(const std::string& path, const std::string& text, const char* mode = "wb") {
  std::FILE* file = std::fopen(path.c_str(), mode);
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
  const std::string temporary = counter + ".0123456789abcdef.tmp";
  const std::string identity = "logon=bench&command=echo&p2=&p3=\r\n";
  if (!WriteText(pointer, root + "\r\n")) {
    std::fprintf(stderr, "cannot write in %s\n", root.c_str());
    return 1;
  }

  long tickets = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    // Probe the lock, write it, sleep, read it back; then the counter.
    (void)CanRead(lock);
    if (!WriteText(lock, identity, "wbx")) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (ReadLine(lock) != identity) return 1;
    const long next = std::atol(ReadLine(counter).c_str()) % 1000000 + 1;
    WriteText(temporary, std::to_string(next) + "\r\n", "wbx");
    std::rename(temporary.c_str(), counter.c_str());
    std::remove(lock.c_str());
    ++tickets;
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.1f\n", static_cast<double>(tickets) / elapsed);
  return 0;
}
