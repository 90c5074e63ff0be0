// The servos' imperfections: latency as commands in flight, deadband as
// an aim held while the error is small, backlash as a gap in the pull.
#include "servo_model.h"

#include <cmath>

namespace standin {

void ServoModel::start(const Imperfections &settings, int step_ms) {
  for (int i = 0; i < kServoCount; ++i) offset_[i] = settings.offset[i];
  deadband_ = settings.deadband;
  half_play_ = settings.backlash / 2.0;
  latency_ns_ = static_cast<std::int64_t>(settings.latency_ms) * 1000000;
  in_flight_.reset();
  capacity_ = 0;
  if (latency_ns_ == 0) return;
  // Commands are sent at whole ms, a later one at the same ms replaces
  // the earlier, and one leaves the ring at the world's first step after
  // it has arrived: at most latency + step + 1 wait in it at once.
  capacity_ = settings.latency_ms + step_ms + 2;
  in_flight_ = std::make_unique<InFlight[]>(static_cast<std::size_t>(capacity_) * kServoCount);
}

void ServoModel::rest(const double *initial) {
  for (int i = 0; i < kServoCount; ++i) {
    aim_[i] = initial[i];
    first_[i] = count_[i] = 0;
  }
}

void ServoModel::send(int joint, double angle, std::int64_t now_ns) {
  InFlight *ring = in_flight_.get() + static_cast<std::ptrdiff_t>(joint) * capacity_;
  std::int64_t at_ns = now_ns + latency_ns_;
  int &count = count_[joint];
  InFlight *last = count > 0 ? &ring[(first_[joint] + count - 1) % capacity_] : nullptr;
  // The same moment, or (never, by the bound above) no room: the newest wins.
  if (last != nullptr && (last->at_ns >= at_ns || count == capacity_)) {
    *last = {at_ns, angle};
    return;
  }
  ring[(first_[joint] + count) % capacity_] = {at_ns, angle};
  ++count;
}

bool ServoModel::arrived(int joint, std::int64_t by_ns, std::int64_t &at_ns, double &angle) {
  if (count_[joint] == 0) return false;
  const InFlight &oldest =
      in_flight_[static_cast<std::ptrdiff_t>(joint) * capacity_ + first_[joint]];
  if (oldest.at_ns > by_ns) return false;
  at_ns = oldest.at_ns;
  angle = oldest.angle;
  first_[joint] = (first_[joint] + 1) % capacity_;
  --count_[joint];
  return true;
}

double ServoModel::aim(int joint, double setpoint, double angle) {
  if (deadband_ == 0.0 || std::fabs(setpoint - angle) >= deadband_) aim_[joint] = setpoint;
  return aim_[joint];
}

double ServoModel::pull(double aim, double angle) const {
  if (half_play_ == 0.0) return aim;
  double error = aim - angle;
  if (std::fabs(error) <= half_play_) return angle;
  return aim - std::copysign(half_play_, error);
}

}  // namespace standin
