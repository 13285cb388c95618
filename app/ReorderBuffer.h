// TReorderBuffer: results of work done out of order, given back in the order
// the work was handed out. Each piece of work takes a numbered slot when it
// is handed out (Reserve); its result fills that slot whenever it is done
// (Fill); Take gives the filled slots at the front, in slot order, and stops
// at the first slot still waiting. Slots carry the caller's tag, so the work
// of one tag can be dropped (Drop): its slots give nothing, and a result that
// comes for one later is thrown away.
//
// Threads: none of its own; the caller locks around every call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

template <typename T>
class TReorderBuffer {
 public:
  // A slot for a result to come, at the end; its number.
  uint64_t Reserve(int tag) {
    Slots.push_back({tag, sWaiting, std::nullopt});
    ++Live;
    return First + Slots.size() - 1;
  }

  // A result known at once, placed at the end.
  void Push(int tag, T value) { Fill(Reserve(tag), std::move(value)); }

  // The result of slot number; false (the result dropped) when the slot was
  // dropped or its number was never given out.
  bool Fill(uint64_t number, T value) {
    if (number < First || number - First >= Slots.size()) return false;
    TSlot& slot = Slots[number - First];
    if (slot.State != sWaiting) return false;
    slot.State = sFilled;
    slot.Value = std::move(value);
    return true;
  }

  // Drops the slots of tag (every slot when tag is -1), filled or waiting.
  void Drop(int tag) {
    for (TSlot& slot : Slots) {
      if (slot.State == sDropped || (tag >= 0 && slot.Tag != tag)) continue;
      slot.State = sDropped;
      slot.Value.reset();
      --Live;
    }
    PopDropped();
  }

  // Up to max results of the filled slots at the front, in slot order,
  // appended to out; how many.
  size_t Take(std::vector<T>& out, size_t max) {
    size_t taken = 0;
    PopDropped();
    while (taken < max && !Slots.empty() && Slots.front().State == sFilled) {
      out.push_back(std::move(*Slots.front().Value));
      Slots.pop_front();
      ++First;
      --Live;
      ++taken;
      PopDropped();
    }
    return taken;
  }

  // The front slot is filled: Take gives something.
  bool HasReady() const { return !Slots.empty() && Slots.front().State == sFilled; }
  // Slots waiting or filled, not dropped.
  size_t Size() const { return Live; }
  // A slot of tag waits or is filled.
  bool Holds(int tag) const {
    for (const TSlot& slot : Slots)
      if (slot.State != sDropped && slot.Tag == tag) return true;
    return false;
  }

 private:
  enum TState { sWaiting, sFilled, sDropped };
  struct TSlot {
    int Tag;
    TState State;
    std::optional<T> Value;
  };
  // Dropped slots at the front go at once: nothing waits behind them.
  void PopDropped() {
    while (!Slots.empty() && Slots.front().State == sDropped) {
      Slots.pop_front();
      ++First;
    }
  }

  std::deque<TSlot> Slots;
  uint64_t First = 0;  // the number of the front slot
  size_t Live = 0;     // slots not dropped
};
