// Hand assembly of compiled filter buffers for tests: little-endian words, nodes, name slots and the
// header, so golden bytes and hostile buffers can be written from the layout table in FilterExpr.h.
// Shared by the parser's tests and the engines' evaluator tests.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "platform/db/FilterExpr.h"

namespace dbtesting {

struct FilterExprBytes {
  std::vector<Byte> b;
  FilterExprBytes& u16(unsigned v) {
    b.push_back(static_cast<Byte>(v));
    b.push_back(static_cast<Byte>(v >> 8));
    return *this;
  }
  FilterExprBytes& u32(unsigned v) { return u16(v & 0xFFFF).u16(v >> 16); }
  FilterExprBytes& raw(std::initializer_list<int> v) {
    for (int x : v) b.push_back(static_cast<Byte>(x));
    return *this;
  }
  FilterExprBytes& node(unsigned cls, unsigned op, std::initializer_list<unsigned> operands) {
    u32(cls).u32(op);
    for (unsigned o : operands) u16(o);
    return *this;
  }
  FilterExprBytes& text(const char* s) {
    for (; *s; ++s) b.push_back(static_cast<Byte>(*s));
    b.push_back(0);
    return *this;
  }
  FilterExprBytes& slot(const char* name) {
    const std::size_t start = b.size();
    text(name);
    b.resize(start + kFieldNameSlot, 0);
    return *this;
  }
  FilterExprBytes& header(unsigned size, unsigned literalStart) {
    return u16(2).u16(size).u16(0xFFFF).u16(10).u16(literalStart);
  }
};

}  // namespace dbtesting
