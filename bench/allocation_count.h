// Heap allocations made by the process so far (malloc, calloc, realloc,
// aligned allocations; operator new included), counted by the benchmark's
// own definitions of those functions.
#pragma once

long AllocationsSoFar();
