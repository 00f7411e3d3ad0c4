// winsim stand-in for <initguid.h>. winsim's DEFINE_GUID and DEFINE_PROPERTYKEY
// already define their constants (inline constexpr) in every translation unit,
// so including this header changes nothing here; on Windows it makes the
// following SDK headers define the GUIDs instead of declaring them.
#pragma once
