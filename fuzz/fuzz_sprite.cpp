// libFuzzer target: bytes as a small sprite and the sprite mesher's options
// (decoded by sprite_input.hpp), meshed as Python would mesh an alpha array.
// A refusal must be one the options call for; a mesh must keep every
// guarantee (sprite_guarantees.hpp, exact arithmetic). Anything else prints
// what broke and aborts, so a wrong mesh is a finding like a crash is.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "sprite_guarantees.hpp"
#include "sprite_input.hpp"
#include "sprite_mesh/sprite_mesh.hpp"
#include "targets.hpp"

namespace vellumcut::fuzz {

namespace {

// How max_vertices is counted: over the whole sprite, every island and hole
// together (per_part: each part on its own).
constexpr BudgetRule kBudgetRule = BudgetRule::whole_sprite;

void describe(const SpriteInput& in) {
    const sprite::Options& o = in.options;
    std::fprintf(stderr,
                 "sprite %d x %d: alpha_threshold=%d tolerance=%.17g padding=%.17g max_vertices=%lld "
                 "interior=%s spacing=%.17g min_angle=%.17g seed=%llu min_island_area=%lld "
                 "min_hole_area=%lld margin=%d%s\n",
                 in.alpha.cols, in.alpha.rows, o.alpha_threshold, o.tolerance, o.padding, o.max_vertices,
                 sprite::interior_name(o.interior), o.spacing, o.min_angle, static_cast<unsigned long long>(o.seed),
                 o.min_island_area, o.min_hole_area, o.margin, o.strict_budget ? "" : " strict_budget=false");
}

[[noreturn]] void fail(const SpriteInput& in, const std::vector<std::string>& what) {
    describe(in);
    for (const std::string& line : what) std::fprintf(stderr, "  %s\n", line.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

sprite::Result mesh(const SpriteInput& in, const sprite::Options& o) {
    const sprite::Opaque framed = sprite::opaque_from_samples(in.alpha.data, in.alpha.rows, in.alpha.cols,
                                                              in.alpha.step, 1, 1, o.alpha_threshold);
    return sprite::mesh_framed(framed, o, no_stop());
}

}  // namespace

void check_sprite_input(const std::uint8_t* data, std::size_t size) {
    const SpriteInput in = decode_sprite_input(data, size);
    const sprite::Options& o = in.options;
    // VELLUMCUT_FUZZ_SHOW=1: the decoded options and alpha first (to read
    // a finding that crashes inside the mesher).
    static const bool show = std::getenv("VELLUMCUT_FUZZ_SHOW") != nullptr;
    if (show) {
        describe(in);
        for (int y = 0; y < in.alpha.rows; ++y) {
            for (int x = 0; x < in.alpha.cols; ++x) std::fputc(in.alpha.at<std::uint8_t>(y, x) > o.alpha_threshold ? '#' : '.', stderr);
            std::fputc('\n', stderr);
        }
    }
    // What the options' documented ranges call for (the decoder keeps the
    // other options within theirs).
    const bool must_refuse = (o.max_vertices > 0 && o.max_vertices < 3) ||
                             (o.padding > 0 && o.tolerance < sprite::kMinPaddedTolerance);
    bool may_refuse = must_refuse;
    // Three per island kept: at most the islands of min_island_area pixels
    // (padding may join some, filled holes take some in).
    long long islands = 0;
    if (o.max_vertices > 0) {
        cv::Mat labels;
        for (int n : island_sizes(in.alpha, o.alpha_threshold, labels)) islands += n > 0 && n >= o.min_island_area;
    }
    if (kBudgetRule == BudgetRule::whole_sprite && o.max_vertices > 0 && o.strict_budget) {
        may_refuse = may_refuse || o.max_vertices < 3 * islands;
    }
    sprite::Result res;
    try {
        res = mesh(in, o);
    } catch (const std::invalid_argument& e) {
        if (!may_refuse) fail(in, {std::string("refused: ") + e.what()});
        return;
    } catch (const std::exception& e) {
        fail(in, {std::string("failed: ") + e.what()});
    }
    if (must_refuse) fail(in, {"meshed options that must be refused"});

    // A budget that is not strict grows to 3 per island, never beyond.
    sprite::Options budgeted = o;
    if (o.max_vertices > 0 && !res.parts.empty()) {
        const bool grown = res.budget > o.max_vertices;
        if (res.budget < o.max_vertices || (grown && (o.strict_budget || res.budget > 3 * islands))) {
            fail(in, {"the budget used is " + std::to_string(res.budget) + " for max_vertices " +
                      std::to_string(o.max_vertices)});
        }
        budgeted.max_vertices = res.budget;
    }
    GuaranteeChecks checks;
    checks.budget_rule = kBudgetRule;
    // A budget may raise the tolerance as far as it needs (documented).
    checks.tolerance = o.max_vertices == 0;
    // Interior points and the outline splits that go with them come on top
    // of the budget: it is checked on the outline alone.
    checks.budget = o.interior == sprite::Interior::none;
    std::vector<std::string> problems = sprite_mesh_problems(res, in.alpha, budgeted, checks);
    if (o.max_vertices > 0 && o.interior != sprite::Interior::none) {
        sprite::Options outline = budgeted;
        outline.strict_budget = true;
        outline.interior = sprite::Interior::none;
        GuaranteeChecks budget_only{false, false, false, true, kBudgetRule};
        for (std::string& p : sprite_mesh_problems(mesh(in, outline), in.alpha, outline, budget_only)) {
            problems.push_back("outline alone: " + p);
        }
    }
    if (!problems.empty()) fail(in, problems);
}

}  // namespace vellumcut::fuzz

#ifndef VELLUMCUT_FUZZ_NO_MAIN
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vellumcut::fuzz::check_sprite_input(data, size);
    return 0;
}
#endif
