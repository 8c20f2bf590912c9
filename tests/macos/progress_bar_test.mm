// The striped progress bar: its geometry, its degenerate cases, its timer,
// and what a rendering looks like pixel by pixel.
#import "LBProgressBar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ui_support.h"

// Records what the bar asks of its own drawing steps.
@interface RecordingBar : LBProgressBar {
 @public
  std::vector<NSPoint>* stripeOrigins;
  std::vector<NSRect>* progressRects;
}
@end

@implementation RecordingBar
- (NSBezierPath*)stripeWithOrigin:(NSPoint)origin bounds:(NSRect)frame {
  if (stripeOrigins != nullptr) stripeOrigins->push_back(origin);
  return [super stripeWithOrigin:origin bounds:frame];
}
- (void)drawProgressWithBounds:(NSRect)frame {
  if (progressRects != nullptr) progressRects->push_back(frame);
  [super drawProgressWithBounds:frame];
}
@end

namespace {

class ProgressBar : public testing::Test {
 protected:
  RecordingBar* MakeBar(CGFloat width, CGFloat height, double value) {
    RecordingBar* bar = [[[RecordingBar alloc] initWithFrame:NSMakeRect(0, 0, width, height)] autorelease];
    bar->stripeOrigins = &stripes_;
    bar->progressRects = &progress_;
    [bar setIndeterminate:NO];
    [bar setMinValue:0];
    [bar setMaxValue:100];
    [bar setDoubleValue:value];
    return bar;
  }

  // One redraw, offscreen.
  void Draw(LBProgressBar* bar) {
    stripes_.clear();
    progress_.clear();
    NSImage* image = [[NSImage alloc] initWithSize:[bar frame].size];
    [image lockFocus];
    [bar drawRect:[bar bounds]];
    [image unlockFocus];
    [image release];
  }

  std::vector<NSPoint> stripes_;
  std::vector<NSRect> progress_;
};

struct Rgb {
  int r, g, b;
};

// The colour of one pixel of the bar as shown in a window; y counts from the
// top of the bar.
class Rendering {
 public:
  // The window's last redraw is what is captured; it draws with `offset` + 1.
  Rendering(LBProgressBar* bar, double offset) {
    window_ = [[NSWindow alloc]
        initWithContentRect:NSMakeRect(100, 100, NSWidth([bar frame]) + 20, NSHeight([bar frame]) + 20)
                  styleMask:NSBorderlessWindowMask
                    backing:NSBackingStoreBuffered
                      defer:NO];
    [bar setFrameOrigin:NSMakePoint(10, 10)];
    [[window_ contentView] addSubview:bar];
    [window_ orderFront:nil];
    [bar setProgressOffset:offset];
    [window_ display];
    rep_ = [[bar bitmapImageRepForCachingDisplayInRect:[bar bounds]] retain];
    [bar cacheDisplayInRect:[bar bounds] toBitmapImageRep:rep_];
    flipped_ = [bar isFlipped];
    height_ = static_cast<int>(NSHeight([bar bounds]));
  }
  ~Rendering() {
    [rep_ release];
    [window_ orderOut:nil];
    [window_ release];
  }
  // x and y in the bar's own coordinates.
  Rgb At(int x, int y) const {
    const int row = flipped_ ? y : height_ - 1 - y;
    NSColor* color = [[rep_ colorAtX:x y:row] colorUsingColorSpaceName:NSCalibratedRGBColorSpace];
    return Rgb{static_cast<int>(std::lround([color redComponent] * 255)),
               static_cast<int>(std::lround([color greenComponent] * 255)),
               static_cast<int>(std::lround([color blueComponent] * 255))};
  }

 private:
  NSWindow* window_;
  NSBitmapImageRep* rep_;
  bool flipped_;
  int height_;
};

bool Near(Rgb a, Rgb b, int tolerance = 3) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

std::ostream& operator<<(std::ostream& out, Rgb c) { return out << "(" << c.r << "," << c.g << "," << c.b << ")"; }

TEST_F(ProgressBar, OffsetAdvancesOnePointPerRedrawAndWrapsAfterFourteen) {
  RecordingBar* bar = MakeBar(200, 20, 50);
  EXPECT_EQ([bar progressOffset], 0);
  std::vector<double> seen;
  [bar setProgressOffset:12];
  for (int i = 0; i < 4; ++i) {
    Draw(bar);
    seen.push_back([bar progressOffset]);
  }
  EXPECT_EQ(seen, (std::vector<double>{13, 14, 0, 1}));
  // The stripes of a redraw start where its offset says.
  ASSERT_FALSE(stripes_.empty());
  EXPECT_EQ(stripes_[0].x, 1);
  EXPECT_EQ(stripes_[1].x, 15);
  EXPECT_EQ(stripes_[0].y, 2);
}

TEST_F(ProgressBar, ProgressRectangleAndStripeCountFollowTheFrame) {
  // 104 points at 100 of 100: the progress rectangle is 100 points wide.
  RecordingBar* bar = MakeBar(104, 20, 100);
  Draw(bar);
  ASSERT_EQ(progress_.size(), 1u);
  EXPECT_TRUE(NSEqualRects(progress_[0], NSMakeRect(2, 2, 100, 15))) << NSStringFromRect(progress_[0]).UTF8String;
  EXPECT_EQ(stripes_.size(), 22u);  // i = 0 .. 21
  EXPECT_EQ(stripes_.back().x, 14 * 21 + [bar progressOffset]);

  // Half way on a 300-point bar: 300 x 0.5 - 4.
  RecordingBar* half = MakeBar(300, 24, 50);
  Draw(half);
  ASSERT_EQ(progress_.size(), 1u);
  EXPECT_TRUE(NSEqualRects(progress_[0], NSMakeRect(2, 2, 146, 19))) << NSStringFromRect(progress_[0]).UTF8String;
  EXPECT_EQ(stripes_.size(), static_cast<std::size_t>(std::floor(146.0 / 14 + 14)) + 1);
}

TEST_F(ProgressBar, DegenerateBarsDrawTheBezelOnly) {
  struct Case {
    const char* what;
    CGFloat width;
    double min, max, value;
  };
  const Case cases[] = {
      {"value 0", 200, 0, 100, 0},
      {"minimum equals maximum", 200, 50, 50, 50},
      {"width between -1 and 1", 8, 0, 100, 50},        // 8 x 0.5 - 4 = 0
      {"width of -1 or less", 3, 0, 100, 50},           // 3 x 0.5 - 4 = -2.5
      {"width just below one point", 9.9, 0, 100, 50},  // 0.95
  };
  for (const Case& c : cases) {
    RecordingBar* bar = MakeBar(c.width, 20, 0);
    [bar setMinValue:c.min];
    [bar setMaxValue:c.max];
    [bar setDoubleValue:c.value];
    Draw(bar);
    EXPECT_TRUE(progress_.empty()) << c.what;
    EXPECT_TRUE(stripes_.empty()) << c.what;
  }
  RecordingBar* onePoint = MakeBar(10, 20, 50);  // exactly 1 point
  Draw(onePoint);
  EXPECT_EQ(progress_.size(), 1u);
}

TEST_F(ProgressBar, OneTimerWhileAnimatingDroppedAtTheMaximumOnlyWhenHiddenWhenStopped) {
  LBProgressBar* bar = MakeBar(200, 20, 10);
  [bar startAnimation:nil];
  NSTimer* timer = [bar animator];
  ASSERT_NE(timer, nil);
  EXPECT_TRUE([timer isValid]);
  EXPECT_EQ([timer timeInterval], 1.0 / 30);
  [bar startAnimation:nil];
  EXPECT_EQ([bar animator], timer);

  [bar setDisplayedWhenStopped:YES];
  [bar setDoubleValue:100];
  EXPECT_EQ([bar animator], timer);
  EXPECT_TRUE([timer isValid]);

  [bar setDisplayedWhenStopped:NO];
  [bar setDoubleValue:99.5];
  EXPECT_EQ([bar animator], timer);
  [bar setDoubleValue:100];
  EXPECT_EQ([bar animator], nil);
  EXPECT_FALSE([timer isValid]);

  [bar startAnimation:nil];
  NSTimer* second = [bar animator];
  [bar stopAnimation:nil];
  EXPECT_EQ([bar animator], nil);
  EXPECT_FALSE([second isValid]);
}

TEST_F(ProgressBar, TimerRequestsRedrawsThatMoveTheStripes) {
  LBProgressBar* bar = MakeBar(200, 20, 50);
  Rendering shown(bar, 0);  // in a window, so that redraws happen
  const double before = [bar progressOffset];
  [bar startAnimation:nil];
  RunFor(0.4);
  [bar stopAnimation:nil];
  const double after = [bar progressOffset];
  EXPECT_NE(after, before);
}

// The bar as its design describes it, independently of how it is drawn:
// what the pixel (x, y) of the bar (its own coordinates) should show, the
// mean of 8 x 8 points of it, for a bar `width` x `height` filled to
// `fraction`, its stripes drawn with `offset`, over a window background.
class DesignedBar {
 public:
  DesignedBar(double width, double height, double fraction, double offset, Rgb background)
      : w_(width),
        h_(height),
        offset_(offset),
        background_(background),
        progress_{2, 2, width * fraction - 4, height - 5} {}

  struct Pixel {
    Rgb color;
    // Plain colours are exact; gradients and slanted stripe edges nearly so;
    // round the corners antialiasing and the drawing's curves (close to
    // arcs, not exact) decide more.
    int tolerance;
  };

  Pixel At(int x, int y) const {
    double sum[3] = {0, 0, 0};
    const double cx = x + 0.5, cy = y + 0.5;
    const bool corner =
        NearCorner(progress_, cx, cy, 0) || NearCorner(Bezel(), cx, cy, 0) || NearCorner(Outline(), cx, cy, 0.5);
    const bool plain = !HasProgress() || Distance(progress_, cx, cy) > 0.75;
    constexpr int kSamples = 8;
    for (int i = 0; i < kSamples; ++i)
      for (int j = 0; j < kSamples; ++j) {
        const double px = x + (i + 0.5) / kSamples, py = y + (j + 0.5) / kSamples;
        const Colour c = Point(px, py);
        sum[0] += c.r, sum[1] += c.g, sum[2] += c.b;
      }
    const int all = kSamples * kSamples;
    return Pixel{Rgb{static_cast<int>(std::lround(sum[0] / all)), static_cast<int>(std::lround(sum[1] / all)),
                     static_cast<int>(std::lround(sum[2] / all))},
                 corner ? 30 : (plain ? 3 : 8)};
  }

 private:
  struct Colour {
    double r, g, b;
  };
  struct Box {
    double x, y, w, h;
  };
  static constexpr double kRadius = 10;

  // Signed distance from a rounded box with corners of kRadius; < 0 inside.
  static double Distance(const Box& box, double px, double py) {
    const double qx = std::fabs(px - (box.x + box.w / 2)) - (box.w / 2 - kRadius);
    const double qy = std::fabs(py - (box.y + box.h / 2)) - (box.h / 2 - kRadius);
    return std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) - kRadius;
  }
  // Within a point of where the outline of `box` (or a line `halfWidth`
  // either side of it) runs round a corner.
  static bool NearCorner(const Box& box, double px, double py, double halfWidth) {
    const double qx = std::fabs(px - (box.x + box.w / 2)) - (box.w / 2 - kRadius);
    const double qy = std::fabs(py - (box.y + box.h / 2)) - (box.h / 2 - kRadius);
    return qx > -1.5 && qy > -1.5 && std::fabs(std::fabs(Distance(box, px, py)) - halfWidth) < 1.5;
  }
  static Colour Of(Rgb c) { return Colour{double(c.r), double(c.g), double(c.b)}; }
  static Colour Mix(Colour from, Colour to, double t) {
    return Colour{from.r + (to.r - from.r) * t, from.g + (to.g - from.g) * t, from.b + (to.b - from.b) * t};
  }

  Box Bezel() const { return Box{0, 0, w_, h_ - 1}; }
  bool HasProgress() const { return progress_.w >= 1; }
  Box Outline() const { return Box{0.5, 0, w_ - 1, h_ - 1}; }

  Colour Point(double px, double py) const {
    Colour c = Of(background_);
    // The outline, white at 20%, on the half of the bar from y = h/2 on,
    // under the fill: only its half-point beyond the fill shows.
    if (py >= h_ / 2 && std::fabs(Distance(Outline(), px, py)) <= 0.5) c = Mix(c, Colour{255, 255, 255}, 0.2);
    if (Distance(Bezel(), px, py) > 0) return c;
    c = Of(Rgb{216, 216, 216});
    if (!HasProgress() || Distance(progress_, px, py) > 0) return c;
    const double t = (py - progress_.y) / progress_.h;  // 0 at the base line's side
    c = Mix(Of(Rgb{223, 237, 180}), Of(Rgb{156, 200, 84}), t);
    // Stripes every 14 points from `offset`, 7 wide, their far edge 8
    // points further towards smaller x than their base.
    const double along = px - offset_ + 8 * (py - 2) / progress_.h;
    const double stripe = std::floor(along / 14);  // stripes 0 .. width / 14 + 14
    if (stripe >= 0 && stripe <= progress_.w / 14 + 14 && along - 14 * stripe < 7)
      c = Mix(Of(Rgb{182, 216, 86}), Of(Rgb{126, 187, 55}), t);
    if (std::fabs(py - 2) <= 0.5 && px <= progress_.w) c = Of(Rgb{223, 238, 181});  // the base line
    return c;
  }

  double w_, h_, offset_;
  Rgb background_;
  Box progress_;
};

TEST_F(ProgressBar, RenderingMatchesTheDesignPixelByPixel) {
  struct Case {
    double width, height, value, offset;
  };
  // 60% of 200 x 30: progress (2, 2, 116, 25), corners of 10 both ways;
  // full on a shorter bar; stripes drawn from other offsets.
  const Case cases[] = {{200, 30, 60, 5}, {164, 26, 100, 12}, {200, 30, 35, 13}};
  for (const Case& c : cases) {
    LBProgressBar* bar = MakeBar(c.width, c.height, c.value);
    Rendering pixels(bar, c.offset);
    const DesignedBar design(c.width, c.height, c.value / 100, [bar progressOffset], pixels.At(0, 0));
    int checked = 0, wrong = 0;
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) {
        const DesignedBar::Pixel expected = design.At(x, y);
        const Rgb shown = pixels.At(x, y);
        ++checked;
        if (Near(shown, expected.color, expected.tolerance)) continue;
        if (++wrong <= 8)
          ADD_FAILURE() << c.width << "x" << c.height << " at " << c.value << "%: pixel (" << x << "," << y
                        << ") shows " << shown << ", designed " << expected.color << " within " << expected.tolerance;
      }
    EXPECT_EQ(wrong, 0) << "of " << checked;
  }
}

}  // namespace
