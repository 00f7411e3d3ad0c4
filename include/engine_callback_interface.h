// How the state machines reach the presence engine: two callables that the
// service builds on every load pass around that pass's engine runner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace ostrel {

struct engine_callback_interface {
  // suspend = true stops sensor delivery, false starts it again; true when it worked.
  using engine_state_callback = std::function<bool(bool suspend)>;
  // Sends a block of bytes to the engine under an id; the engine's result.
  using engine_send_callback = std::function<int(uint32_t id, const uint8_t* data, size_t size)>;

  engine_state_callback engine_state_cb;
  engine_send_callback engine_send_cb;
};

}  // namespace ostrel
