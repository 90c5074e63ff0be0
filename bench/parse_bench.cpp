// Cost of parsing one motion-file row, against the C library's sscanf with
// the same row format.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "body_model.h"
#include "row_reference.h"

namespace {

// A typical recorded row: signed five-digit counts, spaced trailer.
constexpr char kFullRow[] =
    "10,0,1197,-20931,8254,-16612,3021,-1197,0,4410,-4410,12034,1197,20931,-8254,16612,-3021,"
    "1197,0,-4410,4410,-12034,0, R ,R ,R,R\r\n";
// A row whose fifth joint column is damaged: parsing stops at field 7.
constexpr char kBrokenRow[] =
    "10,0,1197,-20931,8254,-16612,x021,-1197,0,4410,-4410,12034,1197,20931,-8254,16612,-3021,"
    "1197,0,-4410,4410,-12034,0, R ,R ,R,R\r\n";

void parseRows(benchmark::State &state, const char *line) {
  MotionRow row;
  for (auto _ : state) {
    benchmark::DoNotOptimize(parse_csv_row(line, row));
    benchmark::ClobberMemory();
  }
}

void scanfRows(benchmark::State &state, const char *line) {
  MotionRow r;
  int *c[kNumberedJoints];
  for (int k = 0; k < kNumberedJoints; ++k) c[k] = &r.pulses[kColumnOrder[k]];
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        std::sscanf(line, kRowScanFormat, &r.period, &r.field2, c[0], c[1], c[2], c[3], c[4], c[5],
                    c[6], c[7], c[8], c[9], c[10], c[11], c[12], c[13], c[14], c[15], c[16], c[17],
                    c[18], c[19], c[20], &r.tail[0], &r.tail[1], &r.tail[2], &r.tail[3]));
    benchmark::ClobberMemory();
  }
}

void BM_ParseFullRow(benchmark::State &state) {
  parseRows(state, kFullRow);
}
void BM_ParseBrokenRow(benchmark::State &state) {
  parseRows(state, kBrokenRow);
}
void BM_SscanfFullRow(benchmark::State &state) {
  scanfRows(state, kFullRow);
}
void BM_SscanfBrokenRow(benchmark::State &state) {
  scanfRows(state, kBrokenRow);
}

}  // namespace

BENCHMARK(BM_ParseFullRow);
BENCHMARK(BM_ParseBrokenRow);
BENCHMARK(BM_SscanfFullRow);
BENCHMARK(BM_SscanfBrokenRow);
