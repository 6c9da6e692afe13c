// The window's sampled fingerprint of files of different sizes. It reads at most sixteen 16-byte
// samples of any file, so its cost must not grow with the file.

#include "Interleaved.h"
#include "window/Form1.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

void Fingerprint(benchmark::State &state, quillsum::Form1 *window, QString file) {
  for (auto _ : state)
    benchmark::DoNotOptimize(window->MD5dariFile(file));
}

} // namespace

int main(int argc, char **argv) {
  // The files come first, then any benchmark flags.
  std::vector<std::string> names;
  int files = 1;
  for (; files < argc && std::strncmp(argv[files], "--", 2) != 0; ++files)
    names.push_back("MD5dariFile/" + std::filesystem::path(argv[files]).filename().string());
  if (names.size() < 2) {
    std::fprintf(stderr, "usage: %s FILE... BASELINE_FILE [benchmark flags]\n", argv[0]);
    return 2;
  }
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  quillsum::Form1 window;
  for (int k = 1; k < files; ++k)
    benchmark::RegisterBenchmark(names[k - 1].c_str(), Fingerprint, &window,
                                 QString::fromLocal8Bit(argv[k]));

  argv[files - 1] = argv[0]; // the flags, behind the program's name
  const auto medians = quillsum::bench::RunInterleaved(argc - files + 1, argv + files - 1);
  const std::string &baseline = names.back();
  for (const auto &name : names)
    if (name != baseline && medians.contains(name) && medians.contains(baseline))
      std::printf("%s / %s cost: %.3f\n", name.c_str(), baseline.c_str(),
                  medians.at(name).cpuSeconds / medians.at(baseline).cpuSeconds);
}
