#include "engine/moment_terms.h"

namespace msdisf::detail {

const std::vector<Term>& terms_of(Output output) {
  static const std::vector<Term> terms[kOutputs] = {
      {{1, kM, kM}},
      {{1, kM, kS}, {-1, kS, kM}},
      {{1, kM, kP2}, {1, kP2, kM}, {-2, kU, kU}, {-2, kV, kV}},
      {{1, kM, kP3}, {-1, kP3, kM}, {-3, kU, kU2}, {-3, kV, kV2}, {3, kU2, kU}, {3, kV2, kV}},
      {{1, kM, kP4},
       {1, kP4, kM},
       {-4, kU, kU3},
       {-4, kV, kV3},
       {6, kU2, kU2},
       {6, kV2, kV2},
       {-4, kU3, kU},
       {-4, kV3, kV}},
  };
  return terms[output];
}

Layout layout_for(MomentNeeds needs, bool closed) {
  Layout layout;
  layout.closed = closed;
  layout.single_axis = needs.single_axis;
  layout.output[kCount] = true;
  layout.output[kSum1] = needs.s1;
  layout.output[kSum2] = needs.any();
  layout.output[kSum3] = needs.s3;
  layout.output[kSum4] = needs.s4;
  for (int o = 0; o < kOutputs; ++o) {
    if (!layout.output[o]) continue;
    layout.slot[o] = layout.outputs++;
    for (const Term& t : terms_of(static_cast<Output>(o))) {
      if (!transformed_term(layout, t)) continue;
      layout.needed[t.origin] = layout.needed[t.end] = true;
      layout.inverse[o] = true;
    }
    layout.inverses += layout.inverse[o] ? 1 : 0;
  }
  for (int k = 0; k < kSequences; ++k) layout.transformed[k] = layout.needed[k];
  if (layout.needed[kU] && layout.needed[kV]) layout.transformed[kS] = false;
  if (layout.needed[kU2] && layout.needed[kV2]) layout.transformed[kP2] = false;
  for (int k = 0; k < kSequences; ++k) layout.transforms += layout.transformed[k] ? 1 : 0;
  return layout;
}

}  // namespace msdisf::detail
