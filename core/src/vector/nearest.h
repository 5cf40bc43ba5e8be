// The assignment step of k-means: the nearest centroid of every point. It
// dominates training, so it comes in one version per x86 vector instruction
// set; all versions give the same, bit-identical result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halcyra {

enum class Isa {
  kBaseline,  // 4-lane vectors; any CPU
  kAvx2,      // 8 lanes
  kAvx512,    // 16 lanes
};

// Whether this CPU (and operating system) runs the version.
bool IsaAvailable(Isa isa);

// The widest available version.
Isa BestIsa();

// assignments[i] = the number of the centroid nearest to point i, for the n
// points (n x d, row-major) and k centroids (k x d, row-major). Distances are
// squared Euclidean, summed in single precision over t = 0 .. d-1 from zero;
// centroids are scanned in order from a best of +infinity with centroid 0,
// and only a strictly smaller distance replaces the best: ties go to the
// lower number and a NaN distance never wins. isa must be available.
void AssignNearest(Isa isa, const float* points, size_t n, size_t d, const float* centroids, size_t k,
                   uint32_t* assignments);

}  // namespace halcyra
