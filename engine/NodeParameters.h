#pragma once

// A node's own macros 1..8 and gliss positions: offsets from the global values
// while the node is selected, absolute values otherwise.
struct NodeParameters
{
    float macros[8] = {};
    float gliss[2] = { 0.5f, 0.5f };
};
