// motion_compose --balance: mends a motion's balance by moving the hips
// over the feet. The arms, the waist and the head keep their columns; each
// sole keeps its place and turn on the floor, lifted or not; the pelvis
// keeps its turn and moves horizontally (and down, only as far as a leg
// needs to reach), the legs' angles from the robot library's inverse
// kinematics.
//
// The correction: the balance check (motion_check --balance) gives the
// centre of pressure of every 10 ms of what motion_player plays; where it
// is less than the margin inside the support, its shortfall, previewed over
// the motion ahead by the cart-table model (Kajita et al. 2003: the
// pressure centre's error gives the centre of mass's correction), moves the
// hips. The check then judges the result, and the correction of what is
// left is added, round after round, until the check holds or no round does
// better. What the legs cannot reach, what a joint's stop or the servo
// speed forbids, and what stays short of the margin is said, not hidden.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "balance.h"
#include "motion_check_lib.h"
#include "robot.h"

// --margin's default, mm: the centre of pressure this far inside the
// support's edge at least.
inline constexpr double kDefaultBalanceMarginMm = 15.0;
// --margin takes 0 to this, mm: about half a sole's width, the most a
// centre of pressure can be inside a robot standing on one foot.
inline constexpr double kMaxBalanceMarginMm = 35.0;

struct BalanceResult {
  bool checked = false;     // the check could play the rows (a period motion_player takes)
  bool holds = false;       // every sample at least the margin inside, after
  double margin = 0.0;      // mm, the margin asked for
  double most_shift = 0.0;  // mm, the hips' largest horizontal move
  double most_drop = 0.0;   // mm, the most the hips came down so that a leg reaches
  double before = 0.0;      // mm, the smallest margin of the original
  long before_line = 0;     // its row, 1-based
  double after = 0.0;       // mm, the smallest margin of the result
  long after_line = 0;
  int rounds = 0;     // rounds of correction the result took
  long unmended = 0;  // stretches it could not mend (each a warning)
  long changed_rows = 0;
};

class Balancer {
 public:
  // `servo_speed`, rad/s, finite and > 0: the check's and the rows' limit.
  // `model` (robot::Parts::kLegs) outlives the balancer.
  Balancer(const robot::Model &model, double servo_speed);
  ~Balancer();
  Balancer(const Balancer &) = delete;
  Balancer &operator=(const Balancer &) = delete;

  // Balances `rows` (`period` ms each) in place, the centre of pressure at
  // least `margin_mm` inside the support where the hips can bring it.
  // `lines[r]` is the line of the script or file that row r comes from,
  // for the findings: each stretch it cannot mend is one warning there.
  BalanceResult run(int period, std::vector<PulseCounts> &rows, const std::vector<long> &lines,
                    double margin_mm, const FindingSink &sink);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The summary: "FILE: balance: the hips moved at most 41 mm; smallest
// margin before -63 mm at row 120, after 12 mm at row 131".
void print_balance_result(std::FILE *out, const std::string &path, const BalanceResult &result);
