// The rules of the sprite mesher's options (see options.hpp).
#include "sprite_mesh/options.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

namespace vellumcut {
namespace sprite {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// min_angle's rule names its bound in words.
static_assert(kMaxMinAngle == 34.0, "min_angle's requirement says 34 degrees");

// The order is mesh_sprite's, so that every surface lists the options alike.
constexpr OptionRule kRules[] = {
    {"alpha_threshold", OptionType::integer, 0, 254, false, "must be within 0..254", nullptr, 32, false},
    {"tolerance", OptionType::real, 0, 1000, false, "must be a finite number >= 0", "must be at most 1000 px", 0,
     false},
    {"padding", OptionType::real, 0, 1024, false, "must be a finite number >= 0", "must be at most 1024 px", 0,
     false},
    {"max_vertices", OptionType::integer, 3, kInf, false, "must be at least 3 (or none for no cap)", nullptr, 64,
     false},
    {"interior", OptionType::choice, 0, 2, false, "must be 'none', 'poisson' or 'quality'", nullptr, 0, false},
    {"spacing", OptionType::real, 1, kInf, false,
     "must be a finite number >= 1 (px), or 'auto' to size it per island", nullptr, 0, false},
    {"min_angle", OptionType::real, 0, kMaxMinAngle, true,
     "must be above 0 and at most 34 degrees (Triangle's refinement stops "
     "converging above that)",
     nullptr, 0, false},
    {"seed", OptionType::integer, 0, kInf, false, "must be within 0 .. 2**64 - 1", nullptr, 64, true},
    {"min_island_area", OptionType::integer, 1, kInf, false, "must be at least 1", nullptr, 64, false},
    {"min_hole_area", OptionType::integer, 0, kInf, false, "must be at least 0", nullptr, 64, false},
    {"margin", OptionType::integer, -kInf, kInf, false, "must be within -2**31 .. 2**31 - 1", nullptr, 32, false},
    {"strict_budget", OptionType::flag, 0, 1, false, "must be true or false", nullptr, 0, false},
};

}  // namespace

const OptionRule* option_rules_begin() { return std::begin(kRules); }
const OptionRule* option_rules_end() { return std::end(kRules); }

const OptionRule& option_rule(std::string_view name) {
    for (const OptionRule& r : kRules) {
        if (name == r.name) return r;
    }
    throw std::out_of_range("no option named '" + std::string(name) + "'");
}

void check_option(const OptionRule& rule, double value) {
    // NaN and -inf fail the first test, +inf the second (or, unbounded above, the third).
    if (std::isnan(value) || (rule.min_open ? value <= rule.min : value < rule.min)) {
        throw OptionRefused(rule.name, rule.requirement);
    }
    if (value > rule.max) throw OptionRefused(rule.name, rule.above != nullptr ? rule.above : rule.requirement);
    if (!std::isfinite(value)) throw OptionRefused(rule.name, rule.requirement);
}

const char* interior_name(Interior interior) { return kInteriorNames[static_cast<int>(interior)]; }

Interior interior_named(std::string_view name) {
    for (int i = 0; i < 3; ++i) {
        if (name == kInteriorNames[i]) return static_cast<Interior>(i);
    }
    throw OptionRefused("interior", option_rule("interior").requirement);
}

void validate(const Options& o) {
    const auto check = [](const char* name, double value) { check_option(option_rule(name), value); };
    check("alpha_threshold", o.alpha_threshold);
    check("tolerance", o.tolerance);
    check("padding", o.padding);
    if (o.padding > 0 && o.tolerance < kMinPaddedTolerance) {
        throw OptionRefused("tolerance", "must be at least 0.2 px when padding is above 0 (the padding's round "
                                         "corners are straight chords, which need that much room beyond it)");
    }
    if (o.max_vertices != 0) check("max_vertices", static_cast<double>(o.max_vertices));
    if (o.spacing != 0) check("spacing", o.spacing);
    check("min_angle", o.min_angle);
    check("min_island_area", static_cast<double>(o.min_island_area));
    check("min_hole_area", static_cast<double>(o.min_hole_area));
}

}  // namespace sprite
}  // namespace vellumcut
