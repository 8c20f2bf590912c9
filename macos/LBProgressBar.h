// The window's progress bar: a determinate indicator that draws itself, a
// light grey rounded bezel with a green gradient over the filled part,
// crossed by slanted stripes that move one point on every redraw.
#import <AppKit/AppKit.h>

@interface LBProgressBar : NSProgressIndicator {
  double progressOffset;
  NSTimer* animator;
}

// Horizontal shift of the stripe pattern in points, 0 to 14.
@property double progressOffset;
// The repeating redraw timer while animating; the bar owns it.
@property(retain) NSTimer* animator;

- (void)setDoubleValue:(double)value;
- (NSTimer*)animator;
- (void)setAnimator:(NSTimer*)value;
- (id)initWithFrame:(NSRect)frameRect;
- (void)dealloc;
- (void)drawShadowInBounds:(NSRect)bounds;
- (NSBezierPath*)stripeWithOrigin:(NSPoint)origin bounds:(NSRect)frame NS_RETURNS_RETAINED;
- (void)drawStripesInBounds:(NSRect)frame;
- (void)drawBezel;
- (void)drawProgressWithBounds:(NSRect)frame;
- (void)drawRect:(NSRect)dirtyRect;
- (void)startAnimation:(id)sender;
- (void)stopAnimation:(id)sender;
- (void)activateAnimation:(NSTimer*)timer;
- (double)progressOffset;
- (void)setProgressOffset:(double)value;

@end
