// How late the servos answer, from their own read-back: the commands sent
// against the positions read, period by period. A serial bus delivers a
// command 17 to 50 ms after it is sent, and a servo then takes its own
// time to get there; the feedback's damping has to know how much.
//
// The estimate is the delay at which the joints' moves best follow the
// commands' moves: the peak of their cross-correlation over the last few
// seconds, taken between whole periods by a parabola. Fixed storage, a
// bounded sum each period: it runs inside the control step.
#pragma once

#include <array>
#include <vector>

#include "body_model.h"

namespace gait {

class ServoLag {
 public:
  // The longest lag looked for, s. A peak there says only that the servos
  // answer this late or later, and the lag is not known.
  static constexpr double kLongest = 0.15;

  // `period`: s per control period (> 0); `memory`: s over which the
  // correlation is kept (older moves fade with this time constant).
  // Allocates here, and only here.
  ServoLag(double period, double memory);

  // One period: the posture the servos were last sent (the command that
  // went out at the end of the previous period) and the positions read now
  // (rad; NaN for a joint not read). Only the leg joints are used.
  void add(const Posture &sent, const Posture &read);

  // Whether the commands have moved enough to say (a walk's first steps or
  // the lowering into the ready posture do).
  bool known() const { return known_; }
  // s from a command's move to the joints' matching move; 0 until known().
  double lag() const { return lag_; }

 private:
  void find_peak();

  double period_ = 0.01;
  double keep_ = 1.0;  // the correlation's fading per period
  int most_ = 1;       // the longest lag looked for, in periods
  // The moves of the commands sent, a ring of most_ + 1: the newest at newest_.
  std::vector<std::array<double, 12>> moves_;
  int newest_ = 0;
  std::array<double, 12> last_sent_{}, last_read_{};
  bool primed_ = false;              // last_sent_ and last_read_ hold a period
  std::vector<double> correlation_;  // by lag in periods, 0 to most_
  double energy_ = 0.0;              // the commands' moves squared, faded alike
  bool known_ = false;
  double lag_ = 0.0;
};

}  // namespace gait
