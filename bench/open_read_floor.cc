// The floor of `varno-inspect backlog --dir`: list a folder, then open each
// entry, read its first 192 bytes and close it, printing nothing. With
// --copy it first fills the folder with N copies of a store file named as
// the service names them.
//
// usage: open_read_floor DIR
//        open_read_floor --copy TEMPLATE DIR N
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--copy") {
    std::ifstream in(argv[2], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const long n = std::atol(argv[4]);
    for (long i = 0; i < n; ++i) {
      const std::string path =
          std::string(argv[3]) + "/VARNO_STORE_n" + std::to_string(i) + ".DEV1";
      std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    }
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR | --copy TEMPLATE DIR N\n", argv[0]);
    return 2;
  }
  std::vector<std::string> paths;
  DIR* d = ::opendir(argv[1]);
  if (d == nullptr) return 1;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') paths.push_back(std::string(argv[1]) + "/" + e->d_name);
  }
  ::closedir(d);
  unsigned char region[192];
  long sum = 0;
  for (const std::string& p : paths) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    sum += ::pread(fd, region, sizeof region, 0);
    ::close(fd);
  }
  return sum == static_cast<long>(paths.size()) * 192 ? 0 : 1;
}
