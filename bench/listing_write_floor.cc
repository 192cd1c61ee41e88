// Floor for the listing to a file: the cost of the writes alone. The listing
// flushes its output file after every report block, so a listing of N
// records costs at least 2 N write calls (the header block and the body block
// of each record). This program makes exactly those calls, with blocks of the
// same text and size as the listing of a varno-storegen file with one tag per
// message, and nothing else: no store file is read, no message interpreted.
//
// usage: listing_write_floor OUT RECORDS [START_TIME]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

bool write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT RECORDS [START_TIME]\n", argv[0]);
    return 2;
  }
  const long records = std::strtol(argv[2], nullptr, 10);
  const long start = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 1700000000L;
  const int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  char header[512];
  char body[256];
  char stamp[64];
  for (long k = 1; k <= records; ++k) {
    const int hn = std::snprintf(header, sizeof header,
                                 "--------------Message # %ld----------------\n"
                                 "Message size: 400, Message signature 23130, transaction number "
                                 "%ld\n"
                                 "Request source: REQNODE REQDLGP\n"
                                 "Reply dest: REPNODE REPDLGP\n"
                                 "message source: SRCNODE SRCDLGP\n"
                                 "message dest: DSTNODE DSTDLGP\n",
                                 k, k);
    const time_t seconds = static_cast<time_t>(start + 60 * (k - 1));
    std::tm local{};
    localtime_r(&seconds, &local);
    std::strftime(stamp, sizeof stamp, "%a %b %e %H:%M:%S %Y\n", &local);
    const int bn = std::snprintf(body, sizeof body,
                                 "listid: %ld, freq: %ld secs, number of tags: 1\n"
                                 "error code: 0, first timestamp: %s\n",
                                 100 + k, 25 * k / 10, stamp);
    if (!write_all(fd, header, static_cast<size_t>(hn)) ||
        !write_all(fd, body, static_cast<size_t>(bn))) {
      std::perror("write");
      return 1;
    }
  }
  return ::close(fd) == 0 ? 0 : 1;
}
