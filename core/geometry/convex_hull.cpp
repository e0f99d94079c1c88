#include "convex_hull.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <libqhull_r/libqhull_r.h>

#include "polygon.hpp"

namespace whistle {

namespace {

// Exact test before handing points to the hull library, which refuses flat input.
bool spans_area(const std::vector<Vector>& points) {
    if (points.size() < 3) return false;
    const Vector& a = points[0];
    auto other =
        std::find_if(points.begin(), points.end(), [&](const Vector& p) { return p != a; });
    if (other == points.end()) return false;
    Vector direction = *other - a;
    return std::any_of(points.begin(), points.end(),
                       [&](const Vector& p) { return cross(direction, p - a) != 0; });
}

// Owns one hull computation; its diagnostics go to a discarded stream.
class Qhull {
public:
    Qhull() : errors_(std::fopen("/dev/null", "w")) { qh_zero(&qh_, errors_); }
    ~Qhull() {
        int long_count = 0, long_total = 0;
        qh_freeqhull(&qh_, !qh_ALL);
        qh_memfreeshort(&qh_, &long_count, &long_total);
        if (errors_) std::fclose(errors_);
    }
    Qhull(const Qhull&) = delete;
    Qhull& operator=(const Qhull&) = delete;

    bool run(std::vector<coordT>& coordinates) {
        char command[] = "qhull";
        return qh_new_qhull(&qh_, 2, int(coordinates.size() / 2), coordinates.data(), False,
                            command, nullptr, errors_) == 0;
    }

    // Hull vertex indices in boundary order: in 2D every facet is an edge, and walking from
    // each edge to the neighbour across its second vertex visits the corners in turn.
    std::vector<int> boundary() {
        std::vector<int> indices;
        facetT* start = qh_.facet_list;
        facetT* facet = start;
        do {
            bool forward = facet->toporient ^ qh_ORIENTclock;
            vertexT* vertex = forward ? SETfirstt_(facet->vertices, vertexT)
                                      : SETsecondt_(facet->vertices, vertexT);
            indices.push_back(qh_pointid(&qh_, vertex->point));
            facet = forward ? SETfirstt_(facet->neighbors, facetT)
                            : SETsecondt_(facet->neighbors, facetT);
        } while (facet != start && indices.size() <= size_t(qh_.num_facets));
        return indices;
    }

private:
    qhT qh_;
    FILE* errors_;
};

}  // namespace

std::vector<Vector> convex_hull(const std::vector<Vector>& points) {
    if (!spans_area(points)) return {};
    std::vector<coordT> coordinates;
    coordinates.reserve(2 * points.size());
    for (const Vector& p : points) {
        coordinates.push_back(coordT(p.x));
        coordinates.push_back(coordT(p.y));
    }
    auto qhull = std::make_unique<Qhull>();
    if (!qhull->run(coordinates)) return {};
    std::vector<Vector> hull;
    for (int index : qhull->boundary()) hull.push_back(points[size_t(index)]);
    if (Polygon::double_area(hull) < 0) std::reverse(hull.begin(), hull.end());
    return hull;
}

}  // namespace whistle
