#include "console/menu.h"

int main() {
  return run_utility();
}
