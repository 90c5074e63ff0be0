// Seeing the physics world: the live window (STANDIN_VIEW) and the
// recording (STANDIN_RECORD), drawn with MuJoCo's renderer from inside
// robot_step, on the control thread.
#pragma once

#include <mujoco/mujoco.h>

#include <cstdint>

#include "physics_internal.h"

namespace standin {

// The view and recording the settings ask for, watching `physics`, whose
// model `m` it may tune for drawing; nullptr when none is asked for or none
// can run (reported). It lives until the process ends.
StepObserver *make_view(const Config &config, Physics &physics, mjModel *m);

// Where the recording's time went so far, for the benchmark.
struct RecordCost {
  std::int64_t frames = 0;     // frames drawn
  std::int64_t draw_ns = 0;    // scene update, rendering, text
  std::int64_t read_ns = 0;    // reading the pixels back
  std::int64_t encode_ns = 0;  // handing them to ffmpeg (waiting on the pipe)
};
RecordCost record_cost();

}  // namespace standin
