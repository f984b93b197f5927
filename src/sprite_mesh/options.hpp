// The sprite mesher's options: the one place that says what each option
// means, its default, the range a value must lie in and the words used when
// one does not. The Python binding (python/vellumcut/_mesher.cpp) reads the
// defaults and the rules from here, and so, through it, do `mesh_sprite`,
// the command line and the Blender add-on; none of them restates a default,
// a bound or a message.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vellumcut {
namespace sprite {

// Triangle terminates for any input only up to about 20.7 degrees; with the
// Steiner-point cap set below it still ends beyond that, and in practice it
// reaches about 34 degrees before refinement stops converging. Requests above
// this bound are refused.
constexpr double kMaxMinAngle = 34.0;

// Least tolerance with padding, in px. No polygon can keep every opaque
// pixel `padding` px inside it and every outline point within exactly
// `padding` px of them (the padding's corners are round), so a padded
// outline needs room beyond the padding: its round corners are chords kept
// outside the padding distance, on the 1/64 px grid. Below this a padded
// outline could not stay within tolerance + padding, and the options are
// refused.
constexpr double kMinPaddedTolerance = 0.2;

enum class Interior { none, poisson, quality };

// The defaults are the values every surface shows as its own. Two options
// use 0 for "not given" (C++ callers set only what they need): a vertex
// budget of 0 is no cap, a spacing of 0 is automatic. A value given
// explicitly is checked with check_option(), which refuses those zeros.
struct Options {
    int alpha_threshold = 0;       // a pixel is opaque when alpha > this (0..254)
    double tolerance = 1.0;        // px an outline may stray outwards from the pixels
                                   // (beyond the padding; with padding >= kMinPaddedTolerance)
    double padding = 0.0;          // px of mesh around every opaque pixel
    long long max_vertices = 0;    // outline vertices of the whole sprite; 0 = no cap (else >= 3)
    bool strict_budget = true;     // false: a budget under 3 per island grows to that, not refused
    Interior interior = Interior::none;
    double spacing = 0.0;          // px; 0 = automatic (auto_spacing)
    double min_angle = 25.0;       // degrees, "quality" (and the aim of "poisson")
    std::uint64_t seed = 0;
    bool seeded = false;           // false: a random seed
    long long min_island_area = 1;  // opaque pixels an island needs to be kept
    long long min_hole_area = 16;   // transparent pixels a hole needs to stay open
    int margin = 0;                // transparent border added around the image
};

// A value out of range, as data: the option's name (as Python spells it) and
// what it requires; the text is the two joined ("tolerance must be ...").
class OptionRefused : public std::invalid_argument {
public:
    OptionRefused(const std::string& name, const std::string& rule)
        : std::invalid_argument(name + " " + rule), option_(name), requirement_(rule) {}
    const std::string& option() const noexcept { return option_; }
    const std::string& requirement() const noexcept { return requirement_; }

private:
    std::string option_;
    std::string requirement_;
};

// How a value of an option is written and held.
enum class OptionType {
    integer,   // a whole number held in `integer_bits` bits (signed or not)
    real,      // a finite number
    choice,    // one of a few names (interior)
    flag,      // true or false
};

// The rule of one option: the closed range [min, max] (min excluded when
// `min_open`), and what a value outside it is told: `requirement` below the
// range (or not a finite number), `above` over it (`requirement` when null).
// Infinite bounds on an integer option mean the bound of its C++ type.
struct OptionRule {
    const char* name;
    OptionType type;
    double min;
    double max;
    bool min_open;
    const char* requirement;
    const char* above;
    int integer_bits;  // integer options: 32 or 64
    bool is_unsigned;  // integer options
};

// Every option of Options, in mesh_sprite's order (strict_budget last).
const OptionRule* option_rules_begin();
const OptionRule* option_rules_end();

// The rule of the option called `name`; std::out_of_range for another name.
const OptionRule& option_rule(std::string_view name);

// Throws OptionRefused when `value` lies outside the rule's range.
void check_option(const OptionRule& rule, double value);

// The names of the interiors, in the order of Interior.
constexpr const char* kInteriorNames[] = {"none", "poisson", "quality"};
const char* interior_name(Interior interior);
// Throws OptionRefused ("interior must be ...") for another name.
Interior interior_named(std::string_view name);

// Throws OptionRefused when a value is out of range, or when two values do
// not go together (a tolerance below kMinPaddedTolerance with padding).
void validate(const Options& options);

}  // namespace sprite
}  // namespace vellumcut
