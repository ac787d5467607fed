// Linked lists of numbered slots. The host threads its slots on doubly linked
// lists through `next` and `prev` (a negative entry ends a list) and keeps the
// heads, tails and counters itself; these are the operations that touch many
// slots at once.
#include "module/kernel.hpp"

namespace frag {
namespace {

// ---------------------------------------------------------------- chaining

// Links the slots first .. end - 1 in ascending order. The outer ends are left
// alone: the caller terminates the chain or joins it to another list. The
// bound is taken in 64 bits so that an end of -2^31 is an empty range.
void chain_range(i32 first, i32 end, Vec<i32> next, Vec<i32> prev) {
  for (i64 k = first; k + 1 < end; ++k) {
    next[k] = static_cast<i32>(k + 1);
    prev[k + 1] = static_cast<i32>(k);
  }
}
FRAG_KERNEL(656, "iiOO", chain_range, "next prev");

// Links the slots 0 .. n - 1 in ascending order through next and prev; the
// outer ends are left to the caller.
void chain_first(i32 n, Vec<i32> next, Vec<i32> prev) { chain_range(0, n, next, prev); }
FRAG_KERNEL(650, "iOO", chain_first, "next prev");

// ----------------------------------------------------------------- walking

// The slot n - 1 steps along `next` from `start`; `seen` is called with every
// slot stepped to (not with the start slot).
template <class Seen>
i32 walk(i32 start, Vec<i32> next, i32 n, Seen seen) {
  i32 cur = start;
  for (i32 k = 1; k < n; ++k) {
    cur = next[cur];
    seen(cur);
  }
  return cur;
}

// Returns the slot n - 1 steps along next from start.
i32 walk_to(i32 start, Vec<i32> next, i32 n) {
  return walk(start, next, n, [](i32) {});
}
FRAG_KERNEL(655, "iOi", walk_to, "next");

// Walks n - 1 steps along next from start; returns the slot reached and the
// running maximum of maximum and every slot stepped to.
std::tuple<i32, i32> walk_to_max(i32 start, i32 maximum, Vec<i32> next, i32 n) {
  i32 cur = walk(start, next, n, [&](i32 s) {
    if (maximum < s) maximum = s;
  });
  return {cur, maximum};
}
FRAG_KERNEL(654, "iiOi", walk_to_max, "next");

// ----------------------------------------------------------------- copying

// Writes the first n slots of the chain from `start` into target[offset ..]
// and returns the slot that follows them.
i32 copy_chain(i32 start, Vec<i32> next, i32 n, i32 offset, Vec<i32> target) {
  i32 cur = start;
  for (i32 k = 0; k < n; ++k) {
    target[i64{offset} + k] = cur;
    cur = next[cur];
  }
  return cur;
}

// Writes the first n slots of the chain from start into target[offset ..].
void copy_chain_only(i32 start, Vec<i32> next, i32 n, i32 offset, Vec<i32> target) {
  copy_chain(start, next, n, offset, target);
}
FRAG_KERNEL(653, "iOiiO", copy_chain_only, "next target");
FRAG_KERNEL(652, "iOiiO", copy_chain, "next target");

// ------------------------------------------------------------------ moving

// Unlinks the run of n slots starting at `run` (at least one slot) from its
// source list and pushes it, in its order, onto the front of the destination
// list. Returns the updated destination head, source head, destination tail
// and destination count. The source tail is the caller's to update when the
// run ended the source list.
std::tuple<i32, i32, i32, i32> move_run(i32 dst_head, i32 src_head, i32 run, i32 dst_tail, Vec<i32> next,
                                        i32 dst_count, i32 n, Vec<i32> prev) {
  const i32 tail = walk(run, next, n >= 2 ? n : 1, [](i32) {});
  const i32 after = next[tail];

  const i32 before = prev[run];
  if (before >= 0)
    next[before] = after;
  else
    src_head = after;
  if (after >= 0) prev[after] = before;
  prev[run] = -1;

  next[tail] = dst_head;
  if (dst_head >= 0) prev[dst_head] = tail;
  dst_head = run;
  if (dst_tail < 0) dst_tail = tail;
  dst_count = add32(dst_count, n);
  return {dst_head, src_head, dst_tail, dst_count};
}
FRAG_KERNEL(651, "iiiiOiiO", move_run, "next prev");

}  // namespace
}  // namespace frag
