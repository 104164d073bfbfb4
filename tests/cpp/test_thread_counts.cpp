// The parallel stages give the same bytes on 1, 2 and 8 worker threads (more than this machine's
// cores): detection in 2-D and 3-D, localization under a peak budget, and linking with gaps, all on
// integer-valued data full of equal values. Exits non-zero on the first difference.
#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "detect/detection3d.h"
#include "link/linking.h"
#include "localize/detect_and_localize.h"

namespace {

/// Appends the raw bytes of v to out.
template <class T>
void append(std::vector<unsigned char>& out, const std::vector<T>& v) {
  const auto* p = reinterpret_cast<const unsigned char*>(v.data());
  out.insert(out.end(), p, p + v.size() * sizeof(T));
}

std::vector<float> poisson_counts(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::poisson_distribution<int> photons(20);
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(photons(rng));
  return v;
}

/// Every result of one run, as bytes.
std::vector<unsigned char> run_all() {
  using namespace quorlin;
  std::vector<unsigned char> out;
  const std::vector<float> frame_data = poisson_counts(2048 * 2048, 1);
  const View2<float> frame = contiguous_view<float, 2>(frame_data.data(), {2048, 2048});
  const Extent2d extent2{0.0f, 2047.0f, 0.0f, 2047.0f};
  const auto peaks = detect_peaks_2d(frame, extent2, 25.0f, 4.0f);
  for (const auto& p : peaks) append(out, std::vector<float>{p.position[0], p.position[1], p.intensity});
  const DetectionRequest<2> localized{extent2, 25.0f, 4.0f, "radial_symmetry", 5, 30000, {}};
  for (const auto& p : detect_and_localize<2>(frame, localized))
    append(out, std::vector<float>{p.position[0], p.position[1]});

  const std::vector<float> volume_data = poisson_counts(64 * 128 * 128, 2);
  const View3<float> volume = contiguous_view<float, 3>(volume_data.data(), {64, 128, 128});
  const Extent3d extent3{0.0f, 63.0f, 0.0f, 127.0f, 0.0f, 127.0f};
  for (const auto& p : detect_peaks_3d(volume, extent3, 25.0f, 3.0f))
    append(out, std::vector<float>{p.position[0], p.position[1], p.position[2], p.intensity});

  // Integer positions on a small field: equal costs everywhere in the assignments.
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> coordinate(0, 59), intensity(20, 22);
  std::vector<std::vector<float>> rows(12);
  std::vector<View2<float>> frames;
  for (auto& r : rows) {
    for (int k = 0; k < 3000; ++k)
      r.insert(r.end(), {static_cast<float>(coordinate(rng)), static_cast<float>(coordinate(rng)),
                         static_cast<float>(intensity(rng))});
    frames.push_back(contiguous_view<float, 2>(r.data(), {3000, 3}));
  }
  const TrackArrays tracks = link_points(frames, 1.5f, 2, 1.2f);
  append(out, tracks.matrix.data);
  append(out, tracks.track_end_indices.data);
  return out;
}

}  // namespace

int main() {
  // Lets an arena have more threads than the machine has cores.
  constexpr int kMostThreads = 8;
  tbb::global_control allow(tbb::global_control::max_allowed_parallelism, kMostThreads);
  std::vector<unsigned char> first;
  for (const int threads : {1, 2, kMostThreads}) {
    tbb::task_arena arena(threads);
    std::vector<unsigned char> got;
    arena.execute([&] { got = run_all(); });
    if (threads == 1) {
      first = got;
    } else if (got != first) {
      std::printf("%d threads give other results than one thread\n", threads);
      return 1;
    }
  }
  std::printf("thread counts: identical results on 1, 2 and %d threads\n", kMostThreads);
  return 0;
}
