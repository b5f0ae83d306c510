// Throughput of each conversion kernel on one buffer of the plain loop's
// size, warm in the cache: what the converting path costs beyond the copy.
// Built and run by bench/run with the release flags.
#include <chrono>
#include <cstdio>
#include <span>

#include "sample_format.hpp"

int main() {
  static std::byte buffer[131070];  // the plain loop's 128 KiB, whole samples of every width
  for (const auto& format : wavwrap::sample_formats()) {
    const auto kernel = wavwrap::kernel_for(format.conversion);
    if (kernel == nullptr) continue;
    constexpr int k_rounds = 20000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < k_rounds; ++i) {
      kernel(std::span<std::byte>(buffer));
      asm volatile("" : : "r"(buffer) : "memory");  // keep every round
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%s %.1f\n", format.name.data(), k_rounds * sizeof buffer / took.count() / 1e9);
  }
}
