# Virtual hotkeys hardware: target_sources(noctave_platform_sim PRIVATE ...)
