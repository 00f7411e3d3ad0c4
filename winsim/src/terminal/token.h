// Internal to winsim: access tokens as kernel objects, so that a token handle
// can be closed, counted and checked by CreateProcessAsUserA.
#pragma once

#include "kernel/kernel_object.h"

namespace winsim::detail {

class token_object : public kernel_object {
 public:
  explicit token_object(DWORD session_id) : session_id_(session_id) {}
  const char* type_name() const override { return "Token"; }
  DWORD session_id() const { return session_id_; }

 private:
  const DWORD session_id_;
};

}  // namespace winsim::detail
