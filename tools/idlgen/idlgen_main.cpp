// idlgen: writes the stub tables of an interface definition.
//   idlgen [--server-namespace NS] --out-dir DIR --base NAME file.idl
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/idlgen/idl.h"

int main(int argc, char** argv) {
  idlgen::EmitOptions options;
  std::filesystem::path outDir, input;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--server-namespace" && i + 1 < argc)
      options.serverNamespace = argv[++i];
    else if (arg == "--out-dir" && i + 1 < argc)
      outDir = argv[++i];
    else if (arg == "--base" && i + 1 < argc)
      options.baseName = argv[++i];
    else if (input.empty() && arg.rfind("--", 0) != 0)
      input = arg;
    else {
      std::cerr << "usage: idlgen [--server-namespace NS] --out-dir DIR --base NAME file.idl\n";
      return 2;
    }
  }
  if (input.empty() || outDir.empty() || options.baseName.empty()) {
    std::cerr << "usage: idlgen [--server-namespace NS] --out-dir DIR --base NAME file.idl\n";
    return 2;
  }
  std::ifstream in(input, std::ios::binary);
  if (!in) {
    std::cerr << input.string() << ": cannot be read\n";
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  const auto result = idlgen::Parse(text.str(), input.filename().string());
  if (!result.interface) {
    std::cerr << result.error << "\n";
    return 1;
  }
  std::filesystem::create_directories(outDir);
  for (const auto& file : idlgen::Emit(*result.interface, options)) {
    // Only rewrite changed files, so that a touched .idl does not rebuild both deliverables.
    const auto path = outDir / file.name;
    std::ifstream old(path, std::ios::binary);
    std::ostringstream oldText;
    oldText << old.rdbuf();
    if (old && oldText.str() == file.text) continue;
    old.close();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << file.text;
    if (!out) {
      std::cerr << path.string() << ": cannot be written\n";
      return 1;
    }
  }
  return 0;
}
