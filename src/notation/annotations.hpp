#pragma once

// The clock and evaluation annotations of move comments, as online-play exports write them:
// "[%clk 0:03:00]" (the mover's time left) and "[%eval 0.17]" or "[%eval #-3]" (the engine's
// judgement from White's side, in pawns or as a mate in n moves, negative when Black mates).

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorel {

struct Evaluation {
  std::int64_t centipawns = 0;  // when not a mate: pawns times 100, exactly as written
  std::int64_t mate = 0;        // "#n": n; 0 for an evaluation in pawns
  bool is_mate = false;
};

struct Annotations {
  // The seconds of the first well-formed "[%clk h:mm:ss]": "[%clk" and one white-space
  // character, then hours, minutes and seconds as digits, the seconds possibly with a fraction
  // ("ss.f"), then "]".
  std::optional<double> clock;
  // The first well-formed "[%eval ...]": "[%eval" and one white-space character, then "#" and a
  // signed whole number, or a signed number of pawns with up to ten digits before the point and
  // one or two after it (or up to ten digits and an optional point), then an optional ",depth",
  // then "]".
  std::optional<Evaluation> eval;
};

// Returns the clock and evaluation annotations of a comment.
Annotations find_annotations(std::string_view comment);

}  // namespace vorel
