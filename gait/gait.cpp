// A first stand-in for the engine: it stands where it was started. The
// walking engine replaces it.
#include "gait.h"

#include <algorithm>
#include <cmath>

namespace gait {

Velocity clamp(const Velocity &command, const Limits &limits, Clamped *clamped) {
  auto finite = [](double v) { return std::isfinite(v) ? v : 0.0; };
  Velocity v{finite(command.forward), finite(command.left), finite(command.turn)};
  v.forward = std::clamp(v.forward, -limits.backward, limits.forward);
  v.left = std::clamp(v.left, -limits.sideways, limits.sideways);
  v.turn = std::clamp(v.turn, -limits.turn, limits.turn);
  if (clamped != nullptr) {
    clamped->forward = v.forward != command.forward;
    clamped->left = v.left != command.left;
    clamped->turn = v.turn != command.turn;
  }
  return v;
}

Sensors Sensors::none() {
  Sensors s;
  s.roll_pitch_yaw.setConstant(NAN);
  s.gyro.setConstant(NAN);
  s.accelerometer.setConstant(NAN);
  s.touch = {NAN, NAN};
  s.joints.fill(NAN);
  return s;
}

struct Engine::Impl {
  Settings settings;
  Limits limits;
  Status status;
  Posture posture{};
};

Engine::Engine(const robot::Model &, const Settings &settings) : impl_(std::make_unique<Impl>()) {
  impl_->settings = settings;
}
Engine::~Engine() = default;

std::string Engine::settings_problem(const robot::Model &, const Settings &) {
  return {};
}

const Limits &Engine::limits() const {
  return impl_->limits;
}

void Engine::start(const Posture &posture) {
  for (int i = 0; i < kJointCount; ++i)
    impl_->posture[i] = std::isfinite(posture[i]) ? posture[i] : 0.0;
  impl_->status.phase = Phase::kStanding;
}

void Engine::walk(const Velocity &) {}
void Engine::stop() {}
void Engine::freeze() {}

const Posture &Engine::step(const Sensors &) {
  impl_->status.time += impl_->settings.period;
  return impl_->posture;
}

const Status &Engine::status() const {
  return impl_->status;
}

const Settings &Engine::settings() const {
  return impl_->settings;
}

}  // namespace gait
