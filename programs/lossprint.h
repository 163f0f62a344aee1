// How every program tells what a conversion lost, or would have lost.
// Header-only; included by the image tools and the drive tools.
#pragma once

#include <cstdio>

#include "fdi_loss.h"

// What a conversion lost or would have lost, on standard error: the reason
// it was refused, every loss that fails it (the first ten, then how many
// more), or, when it went through, every loss the caller accepted as a
// warning.
inline void PrintLosses(const LossReport &report) {
    enum { SHOWN = 10 };
    if (!report.Refusal().empty()) fprintf(stderr, "Error : %s\n", report.Refusal().c_str());
    const bool fails = report.Fails();
    size_t shown = 0, more = 0;
    for (const loss_t &l : report.Losses()) {
        const bool accepted = (l.kind & report.Accepted()) != 0;
        if (fails && accepted) continue;
        if (fails && shown == SHOWN) {
            more++;
            continue;
        }
        fprintf(stderr, "%s : %s\n", accepted ? "Warning" : "Error", LossReport::Text(l).c_str());
        shown++;
    }
    if (more) fprintf(stderr, "Error : and %zu more\n", more);
}
