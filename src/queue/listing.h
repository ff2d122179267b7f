// The queue listing of -Q.
#pragma once

namespace callvane {

// Prints every pending and bad page; returns how many were listed.
int list_queue();

}  // namespace callvane
