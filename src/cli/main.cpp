#include <cstdio>

int main() {
  std::puts("rexmoor");
  return 0;
}
