#include "serial/VaClasses.h"

void TVaPersistent::BeginUpdate() {
    ++FUpdateCount;
}

void TVaPersistent::EndUpdate() {
    if (FUpdateCount > 0) {
        --FUpdateCount;
    }
    Changed();
}

void TVaPersistent::Changed() {
    if (FUpdateCount == 0 && FOnChange) {
        FOnChange(this);
    }
}
