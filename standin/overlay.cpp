// The overlays' shapes. Everything is measured from the engine's state as
// drawn, so a recording with an overlay is as repeatable as one without.
#include "overlay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <span>

#include "body_model.h"

namespace standin {

namespace {

// Floor contacts drawn: a robot lying flat has about 30.
constexpr int kMaxContacts = robot::kMaxSupportPoints;
// Strips that fill the support polygon (MuJoCo draws no polygons).
constexpr int kFillStrips = 32;
constexpr double kNewtonLength = 0.02;    // contact force arrows, m per N
constexpr double kMaxForceLength = 0.15;  // longest contact force arrow, m
constexpr double kPushLength = 0.01;      // push arrow, m per N
constexpr double kMinPushLength = 0.05;   // push arrow's length limits, m
constexpr double kMaxPushLength = 0.4;
constexpr double kPushStandOff = 0.07;  // push arrow's tip from the chest's centre of mass, m
// A joint's number stands this many lines of text beside it.
constexpr double kLabelGap = 1.2;

// Colours: red, green, blue, opacity.
constexpr float kSupportEdge[4] = {0.1f, 0.75f, 0.2f, 1.0f};
constexpr float kSupportFill[4] = {0.1f, 0.85f, 0.25f, 0.45f};
constexpr float kCentreOfMass[4] = {1.0f, 0.62f, 0.0f, 1.0f};
constexpr float kPressure[4] = {0.85f, 0.1f, 0.8f, 1.0f};  // the centre of pressure and its forces
constexpr float kPush[4] = {0.95f, 0.1f, 0.05f, 1.0f};
constexpr float kJointLabel[4] = {1.0f, 1.0f, 1.0f, 1.0f};
constexpr float kMovingLabel[4] = {1.0f, 0.9f, 0.0f, 1.0f};
constexpr float kVelocity[4] = {0.0f, 0.8f, 0.45f, 1.0f};

// The commanded velocity's arrow: the path the robot would walk in
// kVelocityHorizon at that velocity, on the floor from the pelvis, in
// kVelocitySegments pieces, the last quarter of it an arrow. A turn on the
// spot is an arc kTurnRadius about the pelvis instead.
constexpr double kVelocityHorizon = 2.0;  // s
constexpr int kVelocitySegments = 16;
constexpr double kTurnRadius = 0.18;     // m: outside the feet
constexpr double kMinPathLength = 0.02;  // m; shorter paths show the turn alone
constexpr double kVelocityLift = 0.004;  // m above the floor

// The scene's next free geom, initialised as `type`; nullptr when full.
mjvGeom *add(mjvScene *scene, int type, const float rgba[4]) {
  if (scene->ngeom >= scene->maxgeom) return nullptr;
  mjvGeom *geom = scene->geoms + scene->ngeom++;
  mjv_initGeom(geom, type, nullptr, nullptr, nullptr, rgba);
  geom->category = mjCAT_DECOR;
  geom->transparent = rgba[3] < 1.0f;
  return geom;
}

// Puts `geom` at (x, y, z), m; transparent shapes are drawn farthest first.
void place(mjvGeom *geom, const mjvScene *scene, double x, double y, double z) {
  geom->pos[0] = static_cast<float>(x);
  geom->pos[1] = static_cast<float>(y);
  geom->pos[2] = static_cast<float>(z);
  float dx = geom->pos[0] - scene->camera[0].pos[0];
  float dy = geom->pos[1] - scene->camera[0].pos[1];
  float dz = geom->pos[2] - scene->camera[0].pos[2];
  geom->camdist = std::sqrt(dx * dx + dy * dy + dz * dz);
}

// A shape of `type` (a capsule, an arrow) from a to b, `width` m thick.
void connect(mjvScene *scene, int type, const float rgba[4], double width, const double a[3],
             const double b[3]) {
  mjvGeom *geom = add(scene, type, rgba);
  if (geom == nullptr) return;
  mjv_makeConnector(geom, type, width, a[0], a[1], a[2], b[0], b[1], b[2]);
  place(geom, scene, geom->pos[0], geom->pos[1], geom->pos[2]);
}

// A flat disc of radius r on the floor, its top `lift` m above it.
void disc(mjvScene *scene, const float rgba[4], double x, double y, double floor, double r,
          double lift) {
  mjvGeom *geom = add(scene, mjGEOM_CYLINDER, rgba);
  if (geom == nullptr) return;
  geom->size[0] = geom->size[1] = static_cast<float>(r);
  geom->size[2] = static_cast<float>(lift / 2);
  place(geom, scene, x, y, floor + lift / 2);
}

void label(mjvScene *scene, const float rgba[4], const double at[3], const char *text) {
  mjvGeom *geom = add(scene, mjGEOM_LABEL, rgba);
  if (geom == nullptr) return;
  std::snprintf(geom->label, sizeof geom->label, "%s", text);
  place(geom, scene, at[0], at[1], at[2]);
}

}  // namespace

void Overlay::bind(const robot::Model &robot) {
  const mjModel *m = robot.mj();
  robot_ = &robot;
  root_ = robot.root_body();
  chest_ = mj_name2id(m, mjOBJ_BODY, "chest");
  for (int i = 0; i < kServoCount; ++i) {
    joint_[i] = mj_name2id(m, mjOBJ_JOINT, kJoints[i].name);
    number_[i] = kJoints[i].number;
  }
}

void Overlay::notice(const double *targets, const double *setpoints, std::int64_t now_ns) {
  now_ns_ = now_ns;
  for (int i = 0; i < kServoCount; ++i) {
    // The start is no change.
    if (!noticed_) {
      changed_ns_[i] = std::numeric_limits<std::int64_t>::min() / 2;
    } else if (targets[i] != last_target_[i] || setpoints[i] != last_setpoint_[i]) {
      changed_ns_[i] = now_ns;
    }
    last_target_[i] = targets[i];
    last_setpoint_[i] = setpoints[i];
  }
  noticed_ = true;
}

void Overlay::prepare(Overlays what, mjvOption *option) const {
  // The feet cover most of the support and the body its centre of mass.
  option->flags[mjVIS_TRANSPARENT] = what.balance ? 1 : 0;
}

void Overlay::draw(const mjModel *m, const mjData *d, Overlays what, TextSize text,
                   mjvScene *scene) const {
  if (what.balance) draw_balance(m, d, scene);
  if (what.joints) draw_joints(m, d, text, scene);
  if (what.velocity) draw_velocity(d, scene);
  draw_push(d, scene);
}

// What the robot library says of the robot on the floor: the support
// polygon, the convex hull of the floor's contacts that press (MuJoCo puts
// one at each corner of a sole that touches, so a flat sole gives its
// rectangle and a sole on its edge a line), the contact forces, and the
// centre of pressure.
void Overlay::draw_balance(const mjModel *, const mjData *d, mjvScene *scene) const {
  if (robot_ == nullptr || root_ < 0) return;
  const double floor = robot_->floor_height();
  robot::FloorContact contacts[kMaxContacts];
  const int n = robot_->floor_contacts(*d, contacts, kMaxContacts);
  Eigen::Vector2d points[kMaxContacts];
  for (int i = 0; i < n; ++i) {
    const Eigen::Vector3d &at = contacts[i].point;
    const Eigen::Vector3d &force = contacts[i].force;
    points[i] = at.head<2>();
    double base[3] = {at.x(), at.y(), floor};
    double length = std::min(mju_norm3(force.data()) * kNewtonLength, kMaxForceLength);
    double scale = length / std::max(mju_norm3(force.data()), 1e-12);
    double tip[3] = {base[0] + force.x() * scale, base[1] + force.y() * scale,
                     base[2] + force.z() * scale};
    connect(scene, mjGEOM_ARROW, kPressure, 0.003, base, tip);
  }

  const robot::Support hull = robot::Support::hull(std::span(points, n));
  const int corners = hull.size();
  double edge_z = floor + 0.001;
  for (int i = 0; i < corners && corners >= 2; ++i) {
    const Eigen::Vector2d &a = hull[i];
    const Eigen::Vector2d &b = hull[(i + 1) % corners];
    double from[3] = {a.x(), a.y(), edge_z};
    double to[3] = {b.x(), b.y(), edge_z};
    connect(scene, mjGEOM_CAPSULE, kSupportEdge, 0.003, from, to);
    if (corners == 2) break;
  }
  if (corners >= 3) {
    double low = hull[0].x();
    double high = hull[0].x();
    for (int i = 1; i < corners; ++i) {
      low = std::min(low, hull[i].x());
      high = std::max(high, hull[i].x());
    }
    double width = (high - low) / kFillStrips;
    for (int s = 0; s < kFillStrips && width > 0.0; ++s) {
      // Where the strip's middle line crosses the polygon's edges.
      double x = low + (s + 0.5) * width;
      double bottom = std::numeric_limits<double>::infinity();
      double top = -bottom;
      for (int i = 0; i < corners; ++i) {
        const Eigen::Vector2d &a = hull[i];
        const Eigen::Vector2d &b = hull[(i + 1) % corners];
        if ((a.x() - x) * (b.x() - x) > 0.0 || a.x() == b.x()) continue;
        double y = a.y() + (b.y() - a.y()) * (x - a.x()) / (b.x() - a.x());
        bottom = std::min(bottom, y);
        top = std::max(top, y);
      }
      if (!(top > bottom)) continue;
      mjvGeom *strip = add(scene, mjGEOM_BOX, kSupportFill);
      if (strip == nullptr) break;
      strip->size[0] = static_cast<float>(width / 2);
      strip->size[1] = static_cast<float>((top - bottom) / 2);
      strip->size[2] = 0.0005f;
      place(strip, scene, x, (top + bottom) / 2, floor + 0.0005);
    }
  }

  // The centre of mass, its plumb line, and where it meets the floor.
  const Eigen::Vector3d centre = robot_->com(*d);
  const double com[3] = {centre.x(), centre.y(), centre.z()};
  mjvGeom *ball = add(scene, mjGEOM_SPHERE, kCentreOfMass);
  if (ball != nullptr) {
    ball->size[0] = ball->size[1] = ball->size[2] = 0.015f;
    place(ball, scene, com[0], com[1], com[2]);
  }
  double foot[3] = {com[0], com[1], floor};
  connect(scene, mjGEOM_CAPSULE, kCentreOfMass, 0.0015, com, foot);
  disc(scene, kCentreOfMass, com[0], com[1], floor, 0.016, 0.002);
  const robot::Pressure pressure = robot_->pressure(*d);
  if (pressure.pressed()) {
    disc(scene, kPressure, pressure.centre.x(), pressure.centre.y(), floor, 0.01, 0.003);
  }
}

// Each number stands beside its joint as the camera sees it, outward from
// the body, joined to the joint by a thin line. Numbers that would overlap
// move down, the highest joint's first, so that joints sharing a point
// (hip, ankle) stack theirs. The part a moving joint turns is lit in the
// highlight's colour.
void Overlay::draw_joints(const mjModel *m, const mjData *d, TextSize text, mjvScene *scene) const {
  const mjvGLCamera &eye = scene->camera[0];
  double forward[3] = {eye.forward[0], eye.forward[1], eye.forward[2]};
  double up[3] = {eye.up[0], eye.up[1], eye.up[2]};
  double right[3];
  mju_cross(right, forward, up);
  // Places on the picture as tangents of the view: a line of text is the
  // same height wherever it stands.
  auto view_of = [&](const mjtNum *point, double &u, double &v) {
    double ray[3] = {point[0] - eye.pos[0], point[1] - eye.pos[1], point[2] - eye.pos[2]};
    double depth = std::max(mju_dot3(ray, forward), 0.05);
    u = mju_dot3(ray, right) / depth;
    v = mju_dot3(ray, up) / depth;
    return depth;
  };
  double height =
      eye.frustum_near > 0.0f ? (eye.frustum_top - eye.frustum_bottom) / eye.frustum_near : 1.0;
  double line = text.line * height;
  double width = text.digits * height;
  double centre_u = 0.0;
  double centre_v = 0.0;
  view_of(root_ >= 0 ? d->subtree_com + 3 * root_ : d->xpos, centre_u, centre_v);

  struct Tag {
    int servo;
    double depth;   // of its joint, along the view, m
    double u, v;    // its joint
    double tu, tv;  // the text's lower left corner
    bool left;      // of the body
  };
  Tag tags[kServoCount];
  int n = 0;
  for (int i = 0; i < kServoCount; ++i) {
    if (joint_[i] < 0 || number_[i] == 0) continue;
    Tag tag{};
    tag.servo = i;
    tag.depth = view_of(d->xanchor + 3 * joint_[i], tag.u, tag.v);
    tag.left = tag.u < centre_u;
    tag.tu = tag.left ? tag.u - kLabelGap * line - width : tag.u + kLabelGap * line;
    tag.tv = tag.v - 0.35 * line;
    // Highest first; in a stack, the smaller number on top.
    int at = n++;
    while (at > 0 && (tags[at - 1].tv < tag.tv ||
                      (tags[at - 1].tv == tag.tv && number_[tags[at - 1].servo] > number_[i]))) {
      tags[at] = tags[at - 1];
      --at;
    }
    tags[at] = tag;
  }
  for (int k = 1; k < n; ++k) {
    for (bool moved = true; moved;) {
      moved = false;
      for (int p = 0; p < k; ++p) {
        if (std::fabs(tags[k].tu - tags[p].tu) >= width + 0.2 * line) continue;
        double below = tags[p].tv - line;
        if (std::fabs(tags[k].tv - tags[p].tv) >= 0.999 * line || below >= tags[k].tv) continue;
        tags[k].tv = below;
        moved = true;
      }
    }
  }

  for (int k = 0; k < n; ++k) {
    const Tag &tag = tags[k];
    int i = tag.servo;
    bool moving = now_ns_ - changed_ns_[i] < kMovingNs;
    const float *colour = moving ? kMovingLabel : kJointLabel;
    double at[3];
    double end[3];
    double end_u = tag.left ? tag.tu + width : tag.tu;
    for (int c = 0; c < 3; ++c) {
      at[c] = eye.pos[c] + tag.depth * (forward[c] + tag.tu * right[c] + tag.tv * up[c]);
      end[c] =
          eye.pos[c] + tag.depth * (forward[c] + end_u * right[c] + (tag.tv + 0.35 * line) * up[c]);
    }
    connect(scene, mjGEOM_CAPSULE, colour, 0.001, d->xanchor + 3 * joint_[i], end);
    char number[8];
    std::snprintf(number, sizeof number, "%02d", number_[i]);
    label(scene, colour, at, number);
    if (!moving) continue;
    int body = m->jnt_bodyid[joint_[i]];
    for (int g = 0; g < scene->ngeom; ++g) {
      mjvGeom &geom = scene->geoms[g];
      if (geom.objtype != mjOBJ_GEOM || m->geom_bodyid[geom.objid] != body) continue;
      for (int c = 0; c < 3; ++c) geom.rgba[c] = 0.4f * geom.rgba[c] + 0.6f * kMovingLabel[c];
      geom.emission = std::max(geom.emission, 0.3f);
    }
  }
}

// A push on the chest, while it acts: an arrow pointing at the chest along
// the force, its length growing with the force, and the force in N.
void Overlay::draw_push(const mjData *d, mjvScene *scene) const {
  if (chest_ < 0) return;
  const mjtNum *force = d->xfrc_applied + 6 * chest_;
  double size = mju_norm3(force);
  if (!(size > 0.0) || !std::isfinite(size)) return;
  double length = std::clamp(size * kPushLength, kMinPushLength, kMaxPushLength);
  const mjtNum *centre = d->xipos + 3 * chest_;
  double tip[3];
  double tail[3];
  for (int k = 0; k < 3; ++k) {
    tip[k] = centre[k] - force[k] / size * kPushStandOff;
    tail[k] = tip[k] - force[k] / size * length;
  }
  connect(scene, mjGEOM_ARROW, kPush, 0.008, tail, tip);
  char text[32];
  std::snprintf(text, sizeof text, "push %.3g N", size);
  label(scene, kPush, tail, text);
}

}  // namespace standin

namespace standin {

void Overlay::draw_velocity(const mjData *d, mjvScene *scene) const {
  const ShownVelocity &v = shown_velocity();
  if ((v.vx == 0.0 && v.vy == 0.0 && v.vturn == 0.0) || robot_ == nullptr || root_ < 0) return;
  const mjtNum *r = d->xmat + 9 * root_;
  const double heading = std::atan2(r[3], r[0]) - robot_->start_heading();
  const double x = d->xpos[3 * root_];
  const double y = d->xpos[3 * root_ + 1];
  const double z = robot_->floor_height() + kVelocityLift;
  double points[kVelocitySegments + 1][3];
  if (std::hypot(v.vx, v.vy) * kVelocityHorizon < kMinPathLength) {
    const double sweep =
        std::clamp(v.vturn * kVelocityHorizon, -1.5 * std::numbers::pi, 1.5 * std::numbers::pi);
    for (int k = 0; k <= kVelocitySegments; ++k) {
      const double angle = heading + sweep * k / kVelocitySegments;
      points[k][0] = x + kTurnRadius * std::cos(angle);
      points[k][1] = y + kTurnRadius * std::sin(angle);
      points[k][2] = z;
    }
  } else {
    // The body-frame velocity carried along the turning heading, each
    // piece at its middle heading.
    const double dt = kVelocityHorizon / kVelocitySegments;
    double px = x;
    double py = y;
    double angle = heading;
    for (int k = 0; k <= kVelocitySegments; ++k) {
      points[k][0] = px;
      points[k][1] = py;
      points[k][2] = z;
      const double middle = angle + v.vturn * dt / 2;
      px += (std::cos(middle) * v.vx - std::sin(middle) * v.vy) * dt;
      py += (std::sin(middle) * v.vx + std::cos(middle) * v.vy) * dt;
      angle += v.vturn * dt;
    }
  }
  constexpr int kHead = kVelocitySegments - kVelocitySegments / 4;
  for (int k = 0; k < kHead; ++k) {
    connect(scene, mjGEOM_CAPSULE, kVelocity, 0.006, points[k], points[k + 1]);
  }
  connect(scene, mjGEOM_ARROW, kVelocity, 0.012, points[kHead], points[kVelocitySegments]);
  char text[64];
  std::snprintf(text, sizeof text, "walk %.3g %.3g %.3g", v.vx, v.vy, v.vturn);
  label(scene, kVelocity, points[kVelocitySegments], text);
}

}  // namespace standin
