# Intrusive AVL tree (avl.h/avl.cc); the linked list (dll.h) is header-only.
zel_library(zel_avl SOURCES avl.cc LIBS zel_log)
target_link_libraries(zel_common INTERFACE zel_avl)
