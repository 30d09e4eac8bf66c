#include "access_choice.h"

void ChooseAccessNode(const KernelFacts& kernel, AccessFacts* facts) {
    *facts = AccessFacts{};
    for (int i = 0; i < kernel.nodeCount; ++i) {
        const NodeFacts& node = kernel.nodes[i];
        if (node.product != remoteProduct || node.opens == Known::unknown) {
            continue;
        }
        if (node.opens == Known::yes) {
            facts->checked = true;
            facts->opened = true;
            CopyText(facts->node, sizeof(facts->node), node.node);
            return;
        }
        if (!facts->checked) {
            facts->checked = true;
            CopyText(facts->node, sizeof(facts->node), node.node);
            CopyText(facts->error, sizeof(facts->error), node.openError);
        }
    }
}
