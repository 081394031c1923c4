# Builds libpd as a static library from Debian's Pure Data source, which
# scripts/setup.sh unpacks into third_party/puredata. The file list and the
# defines follow that package's libpd build (src/Makefile.am with
# --enable-libpd --enable-libpd-utils, single instance, no FFTW).

set(LIBPD_SOURCE_DIR "${PROJECT_SOURCE_DIR}/third_party/puredata" CACHE PATH
    "Unpacked Pure Data source tree that libpd is built from")
set(_pd_src "${LIBPD_SOURCE_DIR}/src")

if(NOT EXISTS "${_pd_src}/z_libpd.c")
    message(FATAL_ERROR
        "Pure Data source not found in ${LIBPD_SOURCE_DIR}: run scripts/setup.sh "
        "(as root) to fetch it, or set LIBPD_SOURCE_DIR to an unpacked puredata source tree.")
endif()

set(_libpd_files
    # libpd itself
    z_libpd.c z_hooks.c x_libpdreceive.c s_audio_dummy.c s_libpdmidi.c
    # libpd utilities: print line assembly, queued messages, ring buffer
    z_print_util.c z_queued.c z_ringbuffer.c
    # Pd core, without s_entry.c, s_midi.c, s_file.c and the audio/MIDI drivers
    d_arithmetic.c d_array.c d_ctl.c d_dac.c d_delay.c d_fft.c d_fft_fftsg.c
    d_filter.c d_global.c d_math.c d_misc.c d_osc.c d_resample.c
    d_soundfile.c d_soundfile_aiff.c d_soundfile_caf.c d_soundfile_next.c
    d_soundfile_wave.c d_ugen.c
    g_all_guis.c g_array.c g_bang.c g_canvas.c g_clone.c g_editor.c
    g_editor_extras.c g_graph.c g_guiconnect.c g_io.c g_mycanvas.c g_numbox.c
    g_radio.c g_readwrite.c g_rtext.c g_scalar.c g_slider.c g_template.c
    g_text.c g_toggle.c g_traversal.c g_undo.c g_vumeter.c
    m_atom.c m_binbuf.c m_class.c m_conf.c m_glob.c m_memory.c m_obj.c
    m_pd.c m_sched.c
    s_audio.c s_inter.c s_inter_gui.c s_loader.c s_main.c s_net.c s_path.c
    s_print.c s_utf8.c
    x_acoustics.c x_arithmetic.c x_array.c x_connective.c x_file.c x_gui.c
    x_interface.c x_list.c x_midi.c x_misc.c x_net.c x_scalar.c x_text.c
    x_time.c x_vexp.c x_vexp_fun.c x_vexp_if.c
)
list(TRANSFORM _libpd_files PREPEND "${_pd_src}/")

add_library(libpd STATIC ${_libpd_files})
set_target_properties(libpd PROPERTIES
    OUTPUT_NAME pd
    POSITION_INDEPENDENT_CODE ON
    LINKER_LANGUAGE C
    C_STANDARD 99
    C_EXTENSIONS ON)
target_include_directories(libpd SYSTEM PUBLIC "${_pd_src}")
target_compile_definitions(libpd PRIVATE
    PD PD_INTERNAL USEAPI_DUMMY NDEBUG
    HAVE_UNISTD_H HAVE_LIBDL HAVE_ALLOCA HAVE_ALLOCA_H)
# Pd's own code is not ours to keep warning-free; it is optimised as Pd's
# release build does, but keeps frame pointers for sanitizer stack traces.
# Pd relies on wrapping signed arithmetic (noise~'s generator, for one), so
# make that defined rather than let the sanitizer build trip over it.
target_compile_options(libpd PRIVATE
    -w -O2 -ffast-math -fno-finite-math-only -funroll-loops -fwrapv)
find_package(Threads REQUIRED)
target_link_libraries(libpd PUBLIC ${CMAKE_DL_LIBS} m Threads::Threads)
