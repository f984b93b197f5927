// The sprite mesher's option rules (sprite_mesh/options.hpp): what every
// surface reads its defaults, bounds and messages from.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "sprite_mesh/options.hpp"

namespace sm = vellumcut::sprite;

namespace {

// The requirement text check_option gives `value`, or "" when it accepts it.
std::string refusal(const sm::OptionRule& rule, double value) {
    try {
        sm::check_option(rule, value);
        return "";
    } catch (const sm::OptionRefused& e) {
        EXPECT_EQ(e.option(), rule.name);
        EXPECT_EQ(std::string(e.what()), std::string(rule.name) + " " + e.requirement());
        return e.requirement();
    }
}

}  // namespace

TEST(OptionRules, TheDefaultsPassAndEveryOptionHasOneRule) {
    EXPECT_NO_THROW(sm::validate(sm::Options()));
    int n = 0;
    for (const sm::OptionRule* r = sm::option_rules_begin(); r != sm::option_rules_end(); ++r, ++n) {
        EXPECT_EQ(&sm::option_rule(r->name), r);
    }
    EXPECT_EQ(n, 12);
    EXPECT_THROW(sm::option_rule("colour"), std::out_of_range);
}

class NumericRule : public ::testing::TestWithParam<const char*> {};

TEST_P(NumericRule, BoundsAreKeptAndTheValuesPastThemRefused) {
    const sm::OptionRule& r = sm::option_rule(GetParam());
    const double step = r.type == sm::OptionType::integer ? 1.0 : 1e-9;
    const std::string above = r.above != nullptr ? r.above : r.requirement;
    if (std::isfinite(r.min)) {
        EXPECT_EQ(refusal(r, r.min), r.min_open ? r.requirement : "");
        EXPECT_EQ(refusal(r, r.min - step), r.requirement);
    }
    if (std::isfinite(r.max)) {
        EXPECT_EQ(refusal(r, r.max), "");
        EXPECT_EQ(refusal(r, r.max + step), above);
        EXPECT_EQ(refusal(r, std::numeric_limits<double>::infinity()), above);
    } else {
        EXPECT_EQ(refusal(r, std::numeric_limits<double>::infinity()), r.requirement);
    }
    EXPECT_EQ(refusal(r, std::nan("")), r.requirement);
}

INSTANTIATE_TEST_SUITE_P(Options, NumericRule,
                         ::testing::Values("alpha_threshold", "tolerance", "padding", "max_vertices", "spacing",
                                           "min_angle", "min_island_area", "min_hole_area"),
                         [](const ::testing::TestParamInfo<const char*>& p) { return std::string(p.param); });

TEST(OptionRules, ZeroIsNotGivenInOptionsButRefusedWhenChecked) {
    sm::Options o;
    o.max_vertices = 0;  // no cap
    o.spacing = 0;       // automatic
    EXPECT_NO_THROW(sm::validate(o));
    EXPECT_EQ(refusal(sm::option_rule("max_vertices"), 0), "must be at least 3 (or none for no cap)");
    EXPECT_EQ(refusal(sm::option_rule("spacing"), 0),
              "must be a finite number >= 1 (px), or 'auto' to size it per island");
}

TEST(OptionRules, PaddingNeedsRoomInTheTolerance) {
    sm::Options o;
    o.padding = 1;
    o.tolerance = sm::kMinPaddedTolerance;
    EXPECT_NO_THROW(sm::validate(o));
    o.tolerance = sm::kMinPaddedTolerance / 2;
    try {
        sm::validate(o);
        ADD_FAILURE() << "accepted";
    } catch (const sm::OptionRefused& e) {
        EXPECT_EQ(e.option(), "tolerance");
    }
}

TEST(OptionRules, InteriorNamesRoundTrip) {
    for (sm::Interior i : {sm::Interior::none, sm::Interior::poisson, sm::Interior::quality}) {
        EXPECT_EQ(sm::interior_named(sm::interior_name(i)), i);
    }
    EXPECT_THROW(sm::interior_named("dense"), sm::OptionRefused);
}
