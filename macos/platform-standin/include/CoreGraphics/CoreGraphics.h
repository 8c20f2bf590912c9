// The few Core Graphics calls the progress bar makes, where Core Graphics is
// absent: they act on AppKit's current graphics context, whatever context
// pointer they are given (the bar passes the one that context hands out).
// A context's current path, built by CGContextAddPath and used up by
// CGContextDrawPath, is kept here as one AppKit path: drawing happens on the
// main thread only.
#pragma once

#import <AppKit/AppKit.h>

typedef struct CGContext* CGContextRef;
typedef struct CGPath* CGMutablePathRef;
typedef const struct CGPath* CGPathRef;

typedef struct CGAffineTransform {
  CGFloat a, b, c, d, tx, ty;
} CGAffineTransform;

typedef enum CGPathDrawingMode {
  kCGPathFill,
  kCGPathEOFill,
  kCGPathStroke,
  kCGPathFillStroke,
  kCGPathEOFillStroke,
} CGPathDrawingMode;

namespace coregraphics_standin {

inline NSBezierPath* AsBezierPath(CGPathRef path) { return (NSBezierPath*)path; }

inline NSBezierPath*& ContextPath() {
  static NSBezierPath* path = nil;
  return path;
}

}  // namespace coregraphics_standin

inline void CGContextSaveGState(CGContextRef) { [NSGraphicsContext saveGraphicsState]; }
inline void CGContextRestoreGState(CGContextRef) { [NSGraphicsContext restoreGraphicsState]; }

inline CGMutablePathRef CGPathCreateMutable(void) { return (CGMutablePathRef)[[NSBezierPath alloc] init]; }
inline void CGPathRelease(CGPathRef path) { [coregraphics_standin::AsBezierPath(path) release]; }

// Transforms are not used by the bar: a non-null one is refused rather than ignored.
inline void CGPathMoveToPoint(CGMutablePathRef path, const CGAffineTransform* transform, CGFloat x, CGFloat y) {
  if (transform == NULL) [coregraphics_standin::AsBezierPath(path) moveToPoint:NSMakePoint(x, y)];
}
inline void CGPathAddLineToPoint(CGMutablePathRef path, const CGAffineTransform* transform, CGFloat x, CGFloat y) {
  if (transform == NULL) [coregraphics_standin::AsBezierPath(path) lineToPoint:NSMakePoint(x, y)];
}

inline void CGContextAddPath(CGContextRef, CGPathRef path) {
  NSBezierPath*& current = coregraphics_standin::ContextPath();
  if (current == nil) current = [[NSBezierPath alloc] init];
  [current appendBezierPath:coregraphics_standin::AsBezierPath(path)];
}

// Strokes with a line width of 1, the Core Graphics default, and the colour
// last set; fills with the colour last set. The path is used up either way.
inline void CGContextDrawPath(CGContextRef, CGPathDrawingMode mode) {
  NSBezierPath*& current = coregraphics_standin::ContextPath();
  if (current == nil) return;
  [current setLineWidth:1.0];
  if (mode == kCGPathFill || mode == kCGPathFillStroke) [current fill];
  if (mode == kCGPathEOFill || mode == kCGPathEOFillStroke) {
    [current setWindingRule:NSEvenOddWindingRule];
    [current fill];
  }
  if (mode == kCGPathStroke || mode == kCGPathFillStroke || mode == kCGPathEOFillStroke) [current stroke];
  [current release];
  current = nil;
}
