#include <cstdio>

int main() {
  std::puts("Vellum: the benchmark window is not built yet.");
  return 0;
}
