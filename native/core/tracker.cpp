#include "tracker.hpp"

#include <algorithm>
#include <cstddef>
#include <numeric>

#include "assignment.hpp"

namespace rm::track {

Target::Target(const Box& first, double iou_thr_, double pix_thr_)
    : last(first), iou_thr(iou_thr_), pix_thr(pix_thr_) {
    push(first);
}

void Target::push(const Box& b) {
    if (count < kWindowFrames) {
        path[(head + count) % kWindowFrames] = {frame, b};
        ++count;
    } else {
        path[head] = {frame, b};
        head = (head + 1) % kWindowFrames;
    }
}

Box Target::rest() const {
    Box s;
    for (int k = 0, at = head; k < count; ++k, at = at + 1 == kWindowFrames ? 0 : at + 1) {
        const Box& b = path[at].box;
        s.l += b.l;
        s.t += b.t;
        s.r += b.r;
        s.b += b.b;
    }
    return {s.l / count, s.t / count, s.r / count, s.b / count};
}

// The core is built with -ffp-contract=off and sums in a fixed order, so no step is fused
// into a multiply-add and the same boxes give the same decision on every machine.
void Target::velocity(double& vx, double& vy) const {
    vx = vy = 0;
    if (count < 2) return;
    double st = 0, sx = 0, sy = 0;
    for (int k = 0, at = head; k < count; ++k, at = at + 1 == kWindowFrames ? 0 : at + 1) {
        const Seen& p = path[at];
        st += static_cast<double>(p.frame);
        sx += p.box.l + p.box.r;  // twice the centre: halved once at the end
        sy += p.box.t + p.box.b;
    }
    const double mt = st / count, mx = sx / count, my = sy / count;
    double stt = 0, stx = 0, sty = 0;
    for (int k = 0, at = head; k < count; ++k, at = at + 1 == kWindowFrames ? 0 : at + 1) {
        const Seen& p = path[at];
        const double dt = static_cast<double>(p.frame) - mt;
        const double dx = (p.box.l + p.box.r) - mx;
        const double dy = (p.box.t + p.box.b) - my;
        const double tt = dt * dt, tx = dt * dx, ty = dt * dy;
        stt += tt;
        stx += tx;
        sty += ty;
    }
    const double den = 2 * stt;
    vx = stx / den;
    vy = sty / den;
}

Box Target::predicted() const {
    double vx = known_vx, vy = known_vy;
    if (!velocity_known) velocity(vx, vy);
    const double ahead = static_cast<double>(frame + 1 - path[(head + count - 1) % kWindowFrames].frame);
    const double dx = vx * ahead, dy = vy * ahead;
    return {last.l + dx, last.t + dy, last.r + dx, last.b + dy};
}

void Target::lose() {
    ++frame;
    if (missed <= kCoastFrames) ++missed;  // counted only as far as it matters: never wraps
    still = false;
}

void Target::observe(const Box& m) {
    ++frame;
    missed = 0;
    if (seen < kObserveFrames) ++seen;
    last = m;
    push(m);
    velocity_known = false;
    still = false;
    if (seen < kObserveFrames) return;
    const Box r = rest();
    if (!(iou(m, r) >= pix_thr)) return;
    double vx, vy;
    velocity(vx, vy);
    // The path stays as it is until the next match, so the next predicted() can reuse it.
    known_vx = vx;
    known_vy = vy;
    velocity_known = true;
    const double xx = vx * vx, yy = vy * vy;
    const double speed2 = xx + yy;
    const double limit = (r.b - r.t) * kStillSpeedPerMille / 1000;
    const double limit2 = limit * limit;
    still = speed2 <= limit2;
}

namespace {

using Edge = Workspace::Edge;

// Candidate pairs, into s.edges. Thresholds apply here, before the matching, so the
// matching never trades a valid pair for one that would be thrown away.
void candidate_pairs(const std::vector<Target*>& targets, const std::vector<int>& target_cls,
                     const std::vector<Box>& meas, const std::vector<int>& meas_cls, Workspace& s) {
    const int m = static_cast<int>(meas.size());
    // Measurements by left edge: a target only needs those starting within one widest
    // measurement to its left and before its right edge.
    std::vector<int>& order = s.order;
    order.resize(m);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return meas[a].l < meas[b].l; });
    std::vector<double>& lefts = s.lefts;
    lefts.resize(m);
    double widest = 0;
    for (int k = 0; k < m; ++k) {
        lefts[k] = meas[order[k]].l;
        widest = std::max(widest, meas[order[k]].r - meas[order[k]].l);
    }
    std::vector<Edge>& edges = s.edges;
    edges.clear();
    for (int i = 0; i < static_cast<int>(targets.size()); ++i) {
        const Target& tg = *targets[i];
        const Box a = tg.predicted();
        auto k = static_cast<int>(std::lower_bound(lefts.begin(), lefts.end(), a.l - widest) - lefts.begin());
        for (; k < m && lefts[k] < a.r; ++k) {
            const int j = order[k];
            if (target_cls[i] != meas_cls[j] || meas[j].r <= a.l) continue;
            const double v = iou(a, meas[j]);
            if (v > 0 && v >= tg.iou_thr) edges.push_back({i, j, v});
        }
    }
}

// Pairs in different connected groups never compete, so each group is solved on its
// own: the usual case (targets apart from each other) stays near linear. `edges` must be
// ordered by target, as candidate_pairs makes them.
void match_groups(Workspace& s, int n, int m, std::vector<int>& match) {
    const std::vector<Edge>& edges = s.edges;
    std::vector<int>& first = s.first;  // edges of target i: [first[i], first[i + 1])
    std::vector<int>& mstart = s.mstart;
    first.assign(n + 1, 0);
    mstart.assign(m + 1, 0);
    for (const Edge& e : edges) {
        ++first[e.target + 1];
        ++mstart[e.meas + 1];
    }
    for (int i = 0; i < n; ++i) first[i + 1] += first[i];
    for (int j = 0; j < m; ++j) mstart[j + 1] += mstart[j];
    std::vector<int>& mtargets = s.mtargets;  // targets of measurement j: [mstart[j], mstart[j + 1])
    mtargets.resize(edges.size());
    {
        std::vector<int>& fill = s.fill;
        fill.assign(mstart.begin(), mstart.end() - 1);
        for (const Edge& e : edges) mtargets[fill[e.meas]++] = e.target;
    }

    std::vector<int>& row_of = s.row_of;
    std::vector<int>& col_of = s.col_of;
    std::vector<int>& rows = s.rows;
    std::vector<int>& cols = s.cols;
    std::vector<double> w;
    row_of.assign(n, -1);
    col_of.assign(m, -1);
    for (int seed = 0; seed < n; ++seed) {
        if (row_of[seed] >= 0 || first[seed] == first[seed + 1]) continue;
        rows.assign(1, seed);
        cols.clear();
        row_of[seed] = 0;
        for (std::size_t q = 0; q < rows.size(); ++q)
            for (int k = first[rows[q]]; k < first[rows[q] + 1]; ++k) {
                const int j = edges[k].meas;
                if (col_of[j] >= 0) continue;
                col_of[j] = static_cast<int>(cols.size());
                cols.push_back(j);
                for (int p = mstart[j]; p < mstart[j + 1]; ++p)
                    if (row_of[mtargets[p]] < 0) {
                        row_of[mtargets[p]] = static_cast<int>(rows.size());
                        rows.push_back(mtargets[p]);
                    }
            }
        if (rows.size() == 1 && cols.size() == 1) {
            match[seed] = cols[0];
            continue;
        }
        const int nr = static_cast<int>(rows.size()), nc = static_cast<int>(cols.size());
        w.assign(static_cast<std::size_t>(nr) * nc, 0.0);
        for (int r = 0; r < nr; ++r)
            for (int k = first[rows[r]]; k < first[rows[r] + 1]; ++k)
                w[static_cast<std::size_t>(r) * nc + col_of[edges[k].meas]] = edges[k].w;
        const std::vector<int> r2c = max_weight_assignment(w, nr, nc);
        for (int r = 0; r < nr; ++r) {
            const int c = r2c[r];
            // Zero cells are non-pairs the solver had to fill the matrix with.
            if (c >= 0 && w[static_cast<std::size_t>(r) * nc + c] > 0) match[rows[r]] = cols[c];
        }
    }
}

}  // namespace

void associate(const std::vector<Target*>& targets, const std::vector<int>& target_cls,
               const std::vector<Box>& meas, const std::vector<int>& meas_cls, Association& out,
               Workspace& ws) {
    const int n = static_cast<int>(targets.size());
    const int m = static_cast<int>(meas.size());
    out.match.assign(n, -1);
    out.fresh.clear();
    out.still.clear();
    out.departed.clear();

    candidate_pairs(targets, target_cls, meas, meas_cls, ws);
    match_groups(ws, n, m, out.match);

    std::vector<char>& taken = ws.taken;
    taken.assign(m, 0);
    for (int i = 0; i < n; ++i) {
        Target& tg = *targets[i];
        if (out.match[i] < 0) {
            tg.lose();
            if (tg.gone()) out.departed.push_back(i);
            continue;
        }
        taken[out.match[i]] = 1;
        tg.observe(meas[out.match[i]]);
        if (tg.still) out.still.push_back(i);
    }
    for (int j = 0; j < m; ++j)
        if (!taken[j]) out.fresh.push_back(j);
}

}  // namespace rm::track
