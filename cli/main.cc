#include <iostream>

int main() {
  std::cout << "vqflow " << VQFLOW_VERSION << "\n";
  return 0;
}
