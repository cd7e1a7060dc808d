// Build step: writes a C++ source that holds files as byte arrays.
//
//   embed-files OUTPUT.cpp SYMBOL FILE [SYMBOL FILE]...
//
// Each SYMBOL becomes `const uint8_t SYMBOL[]` and `const size_t SYMBOLSize` in namespace
// stubpack.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 4 || argc % 2 != 0) {
    std::fprintf(stderr, "usage: embed-files OUTPUT.cpp SYMBOL FILE [SYMBOL FILE]...\n");
    return 2;
  }
  std::string text =
      "// Written by embed-files at build time.\n#include <cstddef>\n#include <cstdint>\n\n"
      "namespace stubpack {\n";
  for (int i = 2; i + 1 < argc; i += 2) {
    std::ifstream in(argv[i + 1], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "embed-files: cannot read %s\n", argv[i + 1]);
      return 1;
    }
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                           std::istreambuf_iterator<char>()};
    text += "extern const uint8_t " + std::string(argv[i]) + "[];\nextern const size_t " + argv[i] +
            "Size;\nconst uint8_t " + argv[i] + "[] = {";
    for (size_t k = 0; k < bytes.size(); ++k) {
      text += (k % 16 == 0 ? "\n  " : " ") + std::to_string(bytes[k]) + ",";
    }
    text += "\n  0};\nconst size_t " + std::string(argv[i]) +
            "Size = " + std::to_string(bytes.size()) + ";\n";
  }
  text += "}  // namespace stubpack\n";
  std::ofstream out(argv[1], std::ios::binary);
  out << text;
  return out ? 0 : 1;
}
