#pragma once

// Common base of the 3-D math types. It holds no data; it only carries the enumerations the math
// types share, so that callers can write KVRMath3D::LocalFrame, KVRMath3D::ZAxis and so on.
class KVRMath3D {
 public:
  // Constructor tag that leaves a value unset, for hot paths that assign it straight away.
  enum UninitializedType { Uninitialized };

  // Frame in which a move, rotation or translation of a transform is expressed.
  // LocalFrame: the transform's own axes; the motion post-multiplies (this = this * m).
  // ParentFrame: the axes the transform itself is expressed in; it pre-multiplies (this = m * this).
  enum ReferenceFrame { ParentFrame = 0, LocalFrame = 1 };

  enum AxisType { XAxis = 0, YAxis = 1, ZAxis = 2 };
};
