# Peer links: krod (KRO link), pxrd (table manager) and the system manager.
zel_library(zel_daemon_links SOURCES zel_kro.cc zel_tabmgr.cc zel_sysmgr.cc
            LIBS zel_msgq zel_kro_msg zel_avl zel_ip_util zel_timer zel_qor_util zel_log PkgConfig::LIBEVENT)
target_link_libraries(zel_daemon PUBLIC zel_daemon_links)
