// Floor for the listing to the screen (standard output redirected to a file):
// reading the whole store file and writing as many bytes as the listing
// produced, both in 64 KiB chunks. No program that reads the file and writes
// that much text can do with less I/O.
//
// usage: copy_floor STORE OUT BYTES
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s STORE OUT BYTES\n", argv[0]);
    return 2;
  }
  const int in = ::open(argv[1], O_RDONLY);
  const int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) {
    std::perror("open");
    return 1;
  }
  long long to_write = std::strtoll(argv[3], nullptr, 10);
  static char buffer[65536];
  std::memset(buffer, ' ', sizeof buffer);
  bool reading = true;
  while (reading || to_write > 0) {
    if (reading) {
      const ssize_t n = ::read(in, buffer, sizeof buffer);
      if (n < 0) {
        std::perror("read");
        return 1;
      }
      if (n == 0) reading = false;
    }
    if (to_write > 0) {
      const size_t chunk = to_write < static_cast<long long>(sizeof buffer)
                               ? static_cast<size_t>(to_write)
                               : sizeof buffer;
      const ssize_t n = ::write(out, buffer, chunk);
      if (n <= 0) {
        std::perror("write");
        return 1;
      }
      to_write -= n;
    }
  }
  return ::close(out) == 0 ? 0 : 1;
}
