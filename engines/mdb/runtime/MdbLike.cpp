#include "engines/mdb/runtime/MdbLike.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/sys/Collation.h"

namespace {

constexpr std::uint32_t kLikeFlags = sys::NORM_IGNORECASE | sys::SORT_STRINGSORT;

bool SameChar(char V, char P, bool CaseInsensitive) {
  if (V == P) return true;
  if (!CaseInsensitive) return false;
  // A byte of a double-byte character is no character of its own: decoding it alone gives the
  // replacement character, which would make any two such bytes "equal".
  if (static_cast<unsigned char>(V) >= 0x80 || static_cast<unsigned char>(P) >= 0x80) return false;
  return sys::CompareStringA(sys::LOCALE_USER_DEFAULT, kLikeFlags, &V, 1, &P, 1) == sys::CSTR_EQUAL;
}

bool SameChar(char16_t V, char16_t P, bool CaseInsensitive) {
  if (V == P) return true;
  if (!CaseInsensitive) return false;
  return sys::CompareStringW(sys::LOCALE_USER_DEFAULT, kLikeFlags, &V, 1, &P, 1) == sys::CSTR_EQUAL;
}

template <class C>
bool MatchLike(std::basic_string_view<C> V, std::basic_string_view<C> P, bool CaseInsensitive) {
  const std::size_t N = V.size(), M = P.size();
  if (M == 0) return N == 0;
  if (P.find_first_not_of(C('%')) == std::basic_string_view<C>::npos) return M == 1 || N > 0;
  // Next[i] = match(value from i, pattern from j + 1); Cur[i] = match(value from i, pattern from j).
  std::vector<char> Next(N + 1, 0), Cur(N + 1, 0);
  Next[N] = 1;  // pattern exhausted with the value
  for (std::size_t j = M; j-- > 0;) {
    const C Pc = P[j];
    const bool LastPercent = Pc == C('%') && j == M - 1;
    Cur[N] = LastPercent ? 1 : 0;
    for (std::size_t i = N; i-- > 0;) {
      bool R;
      if (LastPercent)
        R = true;
      else if (Pc == C('%'))
        R = Next[i] || (i + 1 < N && Cur[i + 1]);
      else
        R = (Pc == C('_') || SameChar(V[i], Pc, CaseInsensitive)) && Next[i + 1];
      Cur[i] = R ? 1 : 0;
    }
    std::swap(Cur, Next);
  }
  return Next[0] != 0;
}

}  // namespace

bool MatchLikeAnsi(std::string_view Value, std::string_view Pattern, bool CaseInsensitive) {
  return MatchLike<char>(Value, Pattern, CaseInsensitive);
}

bool MatchLikeWide(std::u16string_view Value, std::u16string_view Pattern, bool CaseInsensitive) {
  return MatchLike<char16_t>(Value, Pattern, CaseInsensitive);
}

bool MatchLikePatternAnsi(const char* Value, const char* Pattern, bool CaseInsensitive) {
  return MatchLikeAnsi(Value ? Value : "", Pattern ? Pattern : "", CaseInsensitive);
}

bool MatchLikePatternWide(const char16_t* Value, const char16_t* Pattern, bool CaseInsensitive) {
  return MatchLikeWide(Value ? Value : u"", Pattern ? Pattern : u"", CaseInsensitive);
}
