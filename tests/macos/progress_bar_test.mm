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
bool Greenish(Rgb c) { return c.g > c.r + 10 && c.g > c.b + 40; }

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

TEST_F(ProgressBar, RenderingShowsBezelGreenFillStripesAndRoundedEnds) {
  // 60% of 200 points: progress rectangle (2, 2, 116, 15) in a 20-point bar,
  // its corners rounded to 10 by 7.5 points.
  LBProgressBar* bar = MakeBar(200, 20, 60);
  // Drawn with offset 6: stripes based at 6, 20, ... 118 cross the corners.
  Rendering pixels(bar, 5);
  const double offset = [bar progressOffset];
  ASSERT_EQ(offset, 6);

  // Bezel fill beyond the progress, and nothing green there.
  EXPECT_TRUE(Near(pixels.At(160, 10), Rgb{216, 216, 216})) << pixels.At(160, 10);
  // Stripes and base line stay inside the rounded ends: these corner pixels
  // lie under stripes but outside the rounded rectangle.
  EXPECT_FALSE(Greenish(pixels.At(2, 16))) << pixels.At(2, 16);
  EXPECT_FALSE(Greenish(pixels.At(117, 16))) << pixels.At(117, 16);
  EXPECT_FALSE(Greenish(pixels.At(117, 2))) << pixels.At(117, 2);
  EXPECT_FALSE(Greenish(pixels.At(2, 2))) << pixels.At(2, 2);
  EXPECT_TRUE(Greenish(pixels.At(60, 9))) << pixels.At(60, 9);

  // Along one row the stripes (7 points in 14) alternate with the fill. A
  // stripe based at x0 (y = 2) has slid 8 x t / 15 points towards smaller x at
  // t points above its base (the progress rectangle is 15 points high).
  auto along = [offset](int x, int y) { return std::fmod(x - offset + 8.0 * (y - 2) / 15 + 14 * 10, 14.0); };
  const int row = 10;
  int stripe = 0;
  int fill = 0;
  for (int x = 20; x < 100; ++x) {
    const Rgb c = pixels.At(x, row);
    ASSERT_TRUE(Greenish(c)) << x << " " << c;
    if (along(x, row) > 1 && along(x, row) < 6) {
      ++stripe;
      EXPECT_LT(c.g, 215) << "stripe at " << x << " " << c;
    } else if (along(x, row) > 8 && along(x, row) < 13) {
      ++fill;
      EXPECT_GT(c.r, 175) << "fill at " << x << " " << c;
    }
  }
  EXPECT_GT(stripe, 20);
  EXPECT_GT(fill, 20);

  // The fill's gradient runs from its first colour at the base line side
  // (y = 2) to its second at the far side.
  auto fillX = [&](int y) {
    for (int x = 30; x < 100; ++x)
      if (std::fabs(along(x, y) - 10.5) < 0.6) return x;
    return 0;
  };
  const Rgb nearBase = pixels.At(fillX(4), 4);
  const Rgb farSide = pixels.At(fillX(15), 15);
  EXPECT_GT(nearBase.r, farSide.r + 30) << nearBase << " " << farSide;
  EXPECT_GT(nearBase.b, farSide.b + 40) << nearBase << " " << farSide;
}

}  // namespace
