#include "ui/stats/line_decimator.h"

#include <algorithm>

void LineDecimator::Bucket::add(const Point& p) {
    if (count == 0) {
        low = high = p;
    } else {
        // Ties keep the earlier sample, so a steady tempo draws one point per bucket.
        if (p.y < low.y) low = p;
        if (p.y > high.y) high = p;
    }
    ++count;
}

void LineDecimator::Bucket::merge(const Bucket& later) {
    if (later.count == 0) return;
    if (count == 0) {
        *this = later;
        return;
    }
    if (later.low.y < low.y) low = later.low;
    if (later.high.y > high.y) high = later.high;
    count += later.count;
}

void LineDecimator::Bucket::drawInto(std::vector<Point>& out) const {
    if (count == 0) return;
    if (low == high) {
        out.push_back(low);
    } else if (low.x <= high.x) {
        out.push_back(low);
        out.push_back(high);
    } else {
        out.push_back(high);
        out.push_back(low);
    }
}

LineDecimator::LineDecimator(std::size_t cap) : cap_(std::max<std::size_t>(cap, 8)) {
    full_.reserve(cap_ / 2 + 1);
    drawn_.reserve(cap_ + 2);
}

void LineDecimator::clear() {
    perBucket_ = 1;
    full_.clear();
    open_ = Bucket{};
    drawn_.clear();
    drawnOfFull_ = 0;
}

void LineDecimator::add(double x, double y) {
    open_.add({x, y});
    // Drop the open bucket's old points; they are drawn again below.
    drawn_.resize(drawnOfFull_);
    if (open_.count == perBucket_) {
        full_.push_back(open_);
        open_ = Bucket{};
        full_.back().drawInto(drawn_);
        drawnOfFull_ = drawn_.size();
        if (drawnOfFull_ > cap_) {
            // Twice as many samples per bucket: neighbours merge, the line halves.
            std::size_t kept = 0;
            for (std::size_t i = 0; i < full_.size(); i += 2) {
                Bucket merged = full_[i];
                if (i + 1 < full_.size()) merged.merge(full_[i + 1]);
                full_[kept++] = merged;
            }
            full_.resize(kept);
            perBucket_ *= 2;
            // An odd bucket out is not yet full at the new size: it goes on filling.
            if (full_.back().count < perBucket_) {
                open_ = full_.back();
                full_.pop_back();
            }
            redraw();
            return;
        }
    }
    open_.drawInto(drawn_);
}

void LineDecimator::redraw() {
    drawn_.clear();
    for (const Bucket& b : full_) b.drawInto(drawn_);
    drawnOfFull_ = drawn_.size();
    open_.drawInto(drawn_);
}
