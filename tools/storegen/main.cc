// varno-storegen's entry: the job the command line asks for.
#include <cstdio>

#include "tools/storegen/storegen.h"

int main(int argc, char** argv) {
  storegen::Options options;
  if (const int failed = storegen::parse_options(argc, argv, &options)) return failed;
  switch (options.job) {
    case storegen::Job::kHelp:
      std::fputs(storegen::usage_text().c_str(), stdout);
      return storegen::kExitOk;
    case storegen::Job::kVersion:
      std::printf("%s %s\n", storegen::kProgram, VARNO_STOREGEN_VERSION);
      return storegen::kExitOk;
    case storegen::Job::kServe:
      return storegen::serve_store(options);
    case storegen::Job::kGenerate:
      break;
  }
  return storegen::generate_store(options);
}
