// libtorch's intra-op thread count, for the benchmarks written in C++20 (libtorch's headers need
// C++17, so only torch_graph_bench.cpp includes them).
#pragma once

namespace bench {

int intra_op_threads();
void set_intra_op_threads(int n);

}  // namespace bench
