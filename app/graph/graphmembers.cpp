#include "graphmembers.h"

#include <array>
#include <cmath>
#include <vector>

#include "common/automationerror.h"

namespace zrvlog {

using zrv::Variant;

namespace {

std::vector<MemberInfo> buildTable() {
  std::vector<MemberInfo> rows = {
#define ZRVLOG_GRAPH_ROW(number, name, type, scope, editor, def, label, choices) \
  MemberInfo{GraphMember::name,                                                  \
             #name,                                                              \
             MemberType::type,                                                   \
             MemberScope::scope,                                                 \
             MemberEditor::editor,                                               \
             Variant(def),                                                       \
             QStringLiteral(label),                                              \
             QStringLiteral(choices),                                            \
             -1},
      ZRVLOG_GRAPH_MEMBERS(ZRVLOG_GRAPH_ROW)
#undef ZRVLOG_GRAPH_ROW
  };
  std::array<int, 4> next{};
  for (MemberInfo& row : rows) {
    if (row.isMethod() || row.isSelector() || row.isReadOnly()) continue;
    row.slot = next[static_cast<int>(row.scope)]++;
  }
  return rows;
}

const std::vector<MemberInfo>& table() {
  static const std::vector<MemberInfo> rows = buildTable();
  return rows;
}

}  // namespace

bool MemberInfo::isReadOnly() const {
  return member == GraphMember::AnnotationTotal || member == GraphMember::ElementTotal ||
         member == GraphMember::CursorTotal;
}

bool MemberInfo::isSelector() const {
  return member == GraphMember::ElementIndex || member == GraphMember::AnnotationIndex ||
         member == GraphMember::CursorIndex;
}

std::span<const MemberInfo> graphMembers() {
  return table();
}

const MemberInfo* findMember(int number) {
  for (const MemberInfo& row : table())
    if (row.number() == number) return &row;
  return nullptr;
}

const MemberInfo& memberInfo(GraphMember member) {
  return *findMember(static_cast<int>(member));
}

int storedCount(MemberScope scope) {
  int n = 0;
  for (const MemberInfo& row : table())
    if (row.scope == scope && row.slot >= 0) ++n;
  return n;
}

Variant convertForMember(const MemberInfo& info, const Variant& value) {
  switch (info.type) {
    case MemberType::Integer:
      return Variant(value.toInteger());
    case MemberType::Long:
      return Variant(value.toLong());
    case MemberType::Boolean:
      return Variant(value.toBool());
    case MemberType::Double: {
      const double d = value.toDouble();
      if (!std::isfinite(d))
        throw zrv::AutomationError(zrv::err::kOverflow,
                                   QStringLiteral("%1 must be a finite number").arg(info.name));
      return Variant(d);
    }
    case MemberType::Text:
    case MemberType::Font:
      return Variant(value.toText());
    case MemberType::Method:
      break;
  }
  throw zrv::AutomationError(zrv::err::kMemberNotFound,
                             QStringLiteral("%1 is a method, not a property").arg(info.name));
}

}  // namespace zrvlog
