# Run by `cmake --install`: writes lobbylink.pc and lobbylink-hostmap.pc for the
# prefix being installed to. Set by the caller: LL_PC_TEMPLATES, LL_PC_OUT,
# LL_PC_VERSION, LL_PC_LIBDIR, LL_PC_INCLUDEDIR.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${LL_PC_${dir}}")
    set(LL_PC_FULL_${dir} "${LL_PC_${dir}}")
  else()
    set(LL_PC_FULL_${dir} "\${prefix}/${LL_PC_${dir}}")
  endif()
endforeach()
foreach(name lobbylink lobbylink-hostmap)
  configure_file(${LL_PC_TEMPLATES}/${name}.pc.in ${LL_PC_OUT}/${name}.pc @ONLY)
endforeach()
