#import "LBProgressBar.h"

#import <CoreGraphics/CoreGraphics.h>

namespace {

// All lengths in points, in the bar's own coordinates.
constexpr CGFloat kCornerRadius = 10;
constexpr CGFloat kStripePeriod = 14;
constexpr CGFloat kStripeWidth = 7;
constexpr CGFloat kStripeSlant = 8;  // the far edge lies this much further towards smaller x
constexpr CGFloat kStripeBaseY = 2;
constexpr double kOffsetStep = 1;
constexpr double kOffsetWrapAbove = 13;
constexpr CGFloat kProgressInset = 2;      // origin of the progress rectangle, both axes
constexpr CGFloat kProgressWidthLoss = 4;  // width = frame width x fraction - 4
constexpr CGFloat kProgressHeightLoss = 5;
constexpr CGFloat kGradientAngle = 90;
constexpr NSTimeInterval kAnimationInterval = 1.0 / 30;

NSColor* Rgb(int red, int green, int blue) {
  return [NSColor colorWithCalibratedRed:red / 255.0 green:green / 255.0 blue:blue / 255.0 alpha:1.0];
}

NSBezierPath* RoundedRect(NSRect rect) {
  return [NSBezierPath bezierPathWithRoundedRect:rect xRadius:kCornerRadius yRadius:kCornerRadius];
}

CGContextRef CurrentContext() { return (CGContextRef)[[NSGraphicsContext currentContext] graphicsPort]; }

}  // namespace

@implementation LBProgressBar

- (void)setDoubleValue:(double)value {
  [super setDoubleValue:value];
  if (![self isDisplayedWhenStopped] && value == [self maxValue]) [self stopAnimation:self];
}

- (NSTimer*)animator {
  return animator;
}

- (void)setAnimator:(NSTimer*)value {
  if (animator == value) return;
  [animator invalidate];
  [animator release];
  animator = [value retain];
}

- (id)initWithFrame:(NSRect)frameRect {
  self = [super initWithFrame:frameRect];
  if (self != nil) {
    progressOffset = 0;
    [self setAnimator:nil];
  }
  return self;
}

- (void)dealloc {
  progressOffset = 0;
  [self setAnimator:nil];
  [super dealloc];
}

- (void)drawShadowInBounds:(NSRect)bounds {
  [Rgb(223, 238, 181) set];
  NSBezierPath* line = [NSBezierPath bezierPath];
  [line setLineWidth:1];
  [line moveToPoint:NSMakePoint(0, kStripeBaseY)];
  [line lineToPoint:NSMakePoint(NSWidth(bounds), kStripeBaseY)];
  [line stroke];
}

- (NSBezierPath*)stripeWithOrigin:(NSPoint)origin bounds:(NSRect)frame {
  const float height = static_cast<float>(NSHeight(frame));
  NSBezierPath* stripe = [[NSBezierPath alloc] init];
  [stripe moveToPoint:origin];
  [stripe lineToPoint:NSMakePoint(origin.x + kStripeWidth, origin.y)];
  [stripe lineToPoint:NSMakePoint(origin.x + kStripeWidth - kStripeSlant, origin.y + height)];
  [stripe lineToPoint:NSMakePoint(origin.x - kStripeSlant, origin.y + height)];
  [stripe lineToPoint:origin];
  return stripe;
}

- (void)drawStripesInBounds:(NSRect)frame {
  NSGradient* gradient = [[NSGradient alloc] initWithStartingColor:Rgb(182, 216, 86) endingColor:Rgb(126, 187, 55)];
  NSBezierPath* stripes = [[NSBezierPath alloc] init];
  for (int i = 0; i <= NSWidth(frame) / kStripePeriod + 14; i++) {
    NSBezierPath* stripe = [self stripeWithOrigin:NSMakePoint(kStripePeriod * i + progressOffset, kStripeBaseY)
                                           bounds:frame];
    [stripes appendBezierPath:stripe];
    [stripe release];
  }

  NSBezierPath* clip = RoundedRect(frame);
  // The stripes get a graphics state of their own, saved while the clip is
  // still rectangular: a save nested inside a rounded clip may widen that
  // clip to its bounding box on some back ends, squaring the corners. For the
  // same reason the gradient is drawn between points under the stripes' clip
  // (the angle form saves internally): from the bottom of the stripes to
  // their top, which is what 90 degrees means.
  [NSGraphicsContext saveGraphicsState];
  [clip addClip];
  [stripes addClip];
  const NSRect extent = [stripes bounds];
  [gradient drawFromPoint:NSMakePoint(NSMinX(extent), NSMinY(extent))
                  toPoint:NSMakePoint(NSMinX(extent), NSMaxY(extent))
                  options:NSGradientDrawsBeforeStartingLocation | NSGradientDrawsAfterEndingLocation];
  [NSGraphicsContext restoreGraphicsState];

  // Left in place: the base line drawn next is clipped to the same rectangle.
  [clip addClip];
  [clip setClip];

  [stripes release];
  [gradient release];
}

- (void)drawBezel {
  CGContextRef context = CurrentContext();
  const NSRect bounds = [self bounds];
  const CGFloat width = NSWidth(bounds);
  const CGFloat height = NSHeight(bounds);

  CGContextSaveGState(context);
  const CGFloat maxX = NSMinX(bounds) + width;
  NSBezierPath* outline = RoundedRect(NSMakeRect(0.5, 0, width - 1, height - 1));
  NSRectClip(NSMakeRect(0, height / 2, width, height / 2));
  [[NSColor colorWithCalibratedWhite:1.0 alpha:0.2] set];
  [outline setLineWidth:1];
  [outline stroke];
  CGContextRestoreGState(context);

  [Rgb(216, 216, 216) set];
  [RoundedRect(NSMakeRect(0, 0, width, height - 1)) fill];

  CGMutablePathRef line = CGPathCreateMutable();
  CGPathMoveToPoint(line, NULL, kCornerRadius, 0);
  CGPathAddLineToPoint(line, NULL, maxX - kCornerRadius, 0);
  CGContextAddPath(context, line);
  CGContextDrawPath(context, kCGPathStroke);
  CGPathRelease(line);
}

- (void)drawProgressWithBounds:(NSRect)frame {
  NSGradient* gradient = [[NSGradient alloc] initWithStartingColor:Rgb(223, 237, 180) endingColor:Rgb(156, 200, 84)];
  [gradient drawInBezierPath:RoundedRect(frame) angle:kGradientAngle];
  [gradient release];
}

- (void)drawRect:(NSRect)dirtyRect {
  (void)dirtyRect;
  progressOffset = progressOffset > kOffsetWrapAbove ? 0 : progressOffset + kOffsetStep;

  const float range = static_cast<float>([self maxValue] - [self minValue]);
  const double value = [self doubleValue];
  [self drawBezel];
  // An empty range has no fraction to show.
  if (value == 0 || range == 0) return;
  const float fraction = static_cast<float>(value / range);

  const NSRect progress =
      NSMakeRect(kProgressInset, kProgressInset, NSWidth([self frame]) * fraction - kProgressWidthLoss,
                 NSHeight([self frame]) - kProgressHeightLoss);
  // Below one whole point (negative widths included) there is nothing to fill.
  if (!(NSWidth(progress) >= 1)) return;

  [self drawProgressWithBounds:progress];
  [self drawStripesInBounds:progress];
  [self drawShadowInBounds:progress];
}

- (void)startAnimation:(id)sender {
  (void)sender;
  if (animator != nil) return;
  [self setAnimator:[NSTimer scheduledTimerWithTimeInterval:kAnimationInterval
                                                     target:self
                                                   selector:@selector(activateAnimation:)
                                                   userInfo:nil
                                                    repeats:YES]];
}

- (void)stopAnimation:(id)sender {
  (void)sender;
  [self setAnimator:nil];
}

- (void)activateAnimation:(NSTimer*)timer {
  (void)timer;
  [self setNeedsDisplay:YES];
}

- (double)progressOffset {
  return progressOffset;
}

- (void)setProgressOffset:(double)value {
  progressOffset = value;
}

@end
