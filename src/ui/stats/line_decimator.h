#pragma once

#include <cstddef>
#include <vector>

// What one line of the tempo chart draws. A chart some 760 pixels wide cannot show an evening's
// 57,600 samples, and a chart library redraws every point of a line on each new one, so the
// line keeps at most `cap` points: while the samples fit, one point per sample; beyond that,
// consecutive samples are grouped in buckets of 2, 4, 8 ... samples, each drawn as its lowest
// and its highest sample, so no peak or dip ever disappears from the line.
class LineDecimator {
  public:
    struct Point {
        double x = 0, y = 0;
        bool operator==(const Point&) const = default;
    };

    explicit LineDecimator(std::size_t cap = 1600);

    void add(double x, double y);
    void clear();

    // The points to draw, x ascending: the full buckets, then the one being filled.
    const std::vector<Point>& points() const { return drawn_; }
    std::size_t samplesPerBucket() const { return perBucket_; }

  private:
    struct Bucket {
        Point low, high;
        std::size_t count = 0;
        void add(const Point& p);
        void merge(const Bucket& later);
        void drawInto(std::vector<Point>& out) const;
    };

    void redraw();

    std::size_t cap_;
    std::size_t perBucket_ = 1;
    std::vector<Bucket> full_;
    Bucket open_;
    std::vector<Point> drawn_;
    std::size_t drawnOfFull_ = 0;  // points of drawn_ that belong to the full buckets
};
