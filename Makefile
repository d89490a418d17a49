# shortcase: `make` builds the signed dist/shortcase.exe and the Linux binary dist/shortcase,
# `make test` runs every test, `make release` packs the zip and tarballs to publish, `make
# install` puts the Linux binary and its man page under PREFIX. Each first installs whatever
# Debian packages are missing (tools/deps.sh).

VERSION := $(shell cat VERSION)
comma := ,
WIN := build/win

# i686 Windows, freestanding: no C runtime, nothing that would need start-up code, and the
# stack probe and load configuration come from win32/.
CXX_WIN := clang++ --target=i686-pc-windows-msvc
CXXFLAGS_WIN := -std=c++17 -O2 -ffreestanding -fno-builtin -fno-exceptions -fno-rtti \
	-fno-threadsafe-statics -fno-stack-protector -fno-asynchronous-unwind-tables \
	-Werror=global-constructors -Werror=exit-time-destructors -Wall -Wextra -Werror -I.

# Console subsystem 5.01 on OS version 5.0 (Windows XP); relocatable with ASLR, NX, terminal
# server aware, copied to swap when run from CD or network; 1 MiB stack, 128 KiB committed.
# /brepro leaves out the time stamp, so the unsigned image is reproducible.
LDFLAGS_WIN := /nologo /machine:x86 /nodefaultlib /entry:EntryPoint \
	/subsystem:console,5.01 /osversion:5.0 /largeaddressaware /dynamicbase /nxcompat \
	/tsaware /swaprun:cd,net /stack:0x100000,0x20000 /manifest:no /brepro

SOURCES := driver/driver.cpp driver/console.cpp cmdline/cmdline.cpp rename/rename.cpp \
	win32/chkstk.cpp win32/loadconfig.cpp
HEADERS := $(wildcard */*.h)
OBJECTS := $(patsubst %.cpp,$(WIN)/%.obj,$(SOURCES))

.PHONY: all deps test fuzz bench release release-notes install clean FORCE
all: deps dist/shortcase.exe dist/shortcase

# A recipe that fails leaves no target behind that a later make would take as up to date.
.DELETE_ON_ERROR:

deps:
	bash tools/deps.sh $(if $(filter test fuzz bench,$(MAKECMDGOALS)),test,$(if \
		$(filter release,$(MAKECMDGOALS)),release,build))

$(WIN)/%.obj: %.cpp $(HEADERS)
	@mkdir -p $(dir $@)
	$(CXX_WIN) $(CXXFLAGS_WIN) -c $< -o $@

$(WIN)/%.lib: win32/%.def
	@mkdir -p $(dir $@)
	llvm-dlltool -m i386 -k -d $< -l $@

$(WIN)/shortcase.res: resources/shortcase.rc resources/shortcase.manifest resources/shortcase.ico VERSION
	@mkdir -p $(dir $@)
	llvm-rc /nologo /D 'VERSION_COMMA=$(subst .,$(comma),$(VERSION)),0' \
		/D 'VERSION_TEXT="$(VERSION)"' /fo $@ $<

$(WIN)/shortcase.exe: $(OBJECTS) $(WIN)/kernel32.lib $(WIN)/user32.lib $(WIN)/shortcase.res
	lld-link $(LDFLAGS_WIN) /out:$@ $^

# The same sources for x86-64 Windows, for the Wine tests only: this machine's kernel may not run
# 32-bit code, and 32-bit Wine under emulation takes minutes a start. Wine commits whole
# stacks, so the frames need no probe here.
WIN64 := build/win64
$(WIN64)/%.obj: %.cpp $(HEADERS)
	@mkdir -p $(dir $@)
	clang++ --target=x86_64-pc-windows-msvc $(filter-out -fno-asynchronous-unwind-tables,$(CXXFLAGS_WIN)) \
		-mstack-probe-size=1048576 -c $< -o $@

$(WIN64)/%.lib: win32/%.def
	@mkdir -p $(dir $@)
	sed 's/@[0-9]*$$//' $< >$(WIN64)/$*.def
	llvm-dlltool -m i386:x86-64 -d $(WIN64)/$*.def -l $@

$(WIN64)/shortcase.exe: $(patsubst %.cpp,$(WIN64)/%.obj,$(filter-out win32/%,$(SOURCES))) \
		$(WIN64)/kernel32.lib $(WIN64)/user32.lib $(WIN)/shortcase.res
	lld-link /nologo /machine:x64 /nodefaultlib /entry:EntryPoint /subsystem:console \
		/stack:0x100000,0x20000 /manifest:no /brepro /out:$@ $^

# Linux: the same product sources over linux/, which implements their Win32 calls, linked
# statically against musl so that one binary runs on any Linux of its architecture. Static-pie
# (-fPIE, musl's rcrt1.o): the kernel loads it at a random address, and Debian's lintian takes
# only such a static binary without an override.
LINUX_SOURCES := driver/driver.cpp driver/console.cpp cmdline/cmdline.cpp rename/rename.cpp \
	linux/text.cpp linux/path.cpp linux/find.cpp linux/move.cpp \
	linux/process.cpp linux/image.cpp linux/main.cpp fat/fat.cpp
linux_build = mkdir -p $(dir $@) && clang++ --target=$(1)-linux-musl -nostdinc \
	-isystem /usr/include/$(1)-linux-musl -isystem $$(clang -print-resource-dir)/include \
	-std=c++17 -O2 -fno-exceptions -fno-rtti -fno-threadsafe-statics -Wall -Wextra -Werror -I. \
	-DSHORTCASE_VERSION='"$(VERSION)"' -fPIE -static-pie -nostdlib++ -fuse-ld=lld -s \
	-L/usr/lib/$(1)-linux-musl -B/usr/lib/$(1)-linux-musl $(LINUX_SOURCES) -o $@
dist/shortcase: $(LINUX_SOURCES) $(HEADERS) VERSION
	$(call linux_build,x86_64)
build/aarch64/shortcase: $(LINUX_SOURCES) $(HEADERS) VERSION
	$(call linux_build,aarch64)

PREFIX ?= /usr/local
install: deps dist/shortcase
	install -D -m 755 dist/shortcase $(DESTDIR)$(PREFIX)/bin/shortcase
	install -D -m 644 linux/shortcase.1 $(DESTDIR)$(PREFIX)/share/man/man1/shortcase.1

# Signed twice (SHA-1, and SHA-256 nested) with the release certificate when
# SHORTCASE_SIGN_CERT and SHORTCASE_SIGN_KEY name one, else with a throwaway one made for this
# build: the signing path always runs. Timestamped when SHORTCASE_SIGN_TIMESTAMP_URL is set.
dist/shortcase.exe: $(WIN)/shortcase.exe tools/sign.sh build/sign/settings
	@mkdir -p dist
	bash tools/sign.sh $< $@

# Changes when the signing variables do, so that setting a time-stamping URL re-signs an image
# signed without one.
SIGN_SETTINGS := $(SHORTCASE_SIGN_CERT) $(SHORTCASE_SIGN_KEY) $(SHORTCASE_SIGN_CA) \
	$(SHORTCASE_SIGN_TIMESTAMP_URL)
build/sign/settings: FORCE
	@mkdir -p $(dir $@)
	@[ "$$(cat $@ 2>/dev/null)" = '$(SIGN_SETTINGS)' ] || echo '$(SIGN_SETTINGS)' >$@

# The zip to publish (the signed image; the user's manual, CHANGELOG and LICENSE as CRLF text),
# the tarballs of the two Linux binaries with the same texts and the man page, and SHA256SUMS
# beside them, made afresh each time: their time stamps are the last commit's.
# With SHORTCASE_RELEASE_URL (and SHORTCASE_PUBLISHER, SHORTCASE_HOMEPAGE) in the environment,
# also the winget and Scoop manifests of that zip. A VERSION without notes in CHANGELOG.md
# stops it before the image is signed.
release: deps release-notes dist/shortcase.exe dist/shortcase build/aarch64/shortcase
	bash tools/release.sh dist/shortcase.exe dist/shortcase-$(VERSION)-win32.zip \
		x86_64=dist/shortcase aarch64=build/aarch64/shortcase

release-notes:
	@bash tools/release.sh --notes >/dev/null

# Host tests (simulated Win32 layer, sanitizers), the image check and the Wine runs, all
# through CTest, whose summary ends the output.
HOST := build/host
test: deps dist/shortcase.exe $(WIN64)/shortcase.exe dist/shortcase build/aarch64/shortcase
	cmake -S . -B $(HOST) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(HOST) -j2
	ctest --test-dir $(HOST) --output-on-failure -j2

# Measures and prints the table of docs/benchmarks.md; it never fails on a figure. The floor
# program only enumerates a tree, to show what the walk costs beyond the system's own listing.
BENCH := build/bench
FLOOR_FLAGS := -std=c++17 -O2 -ffreestanding -fno-builtin -fno-exceptions -fno-rtti \
	-fno-stack-protector -Wall -Wextra -Werror
$(BENCH)/floor.exe: bench/floor.cpp bench/floor.def
	@mkdir -p $(BENCH)
	sed 's/@[0-9]*$$//' bench/floor.def >$(BENCH)/floor-x64.def
	llvm-dlltool -m i386:x86-64 -d $(BENCH)/floor-x64.def -l $(BENCH)/floor-kernel32.lib
	clang++ --target=x86_64-pc-windows-msvc $(FLOOR_FLAGS) -c bench/floor.cpp -o $(BENCH)/floor.obj
	lld-link /nologo /machine:x64 /nodefaultlib /entry:EntryPoint /subsystem:console \
		/manifest:no /brepro /out:$@ $(BENCH)/floor.obj $(BENCH)/floor-kernel32.lib

# The same floor for i686, set against the shipped image where 32-bit code runs natively.
$(BENCH)/floor32.exe: bench/floor.cpp bench/floor.def
	@mkdir -p $(BENCH)
	llvm-dlltool -m i386 -k -d bench/floor.def -l $(BENCH)/floor32-kernel32.lib
	clang++ --target=i686-pc-windows-msvc $(FLOOR_FLAGS) -c bench/floor.cpp -o $(BENCH)/floor32.obj
	lld-link /nologo /machine:x86 /nodefaultlib /entry:EntryPoint /subsystem:console \
		/manifest:no /brepro /out:$@ $(BENCH)/floor32.obj $(BENCH)/floor32-kernel32.lib

bench: deps dist/shortcase.exe $(WIN64)/shortcase.exe dist/shortcase $(BENCH)/floor.exe \
		$(BENCH)/floor32.exe
	cmake -S . -B $(BENCH)/host -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build $(BENCH)/host --target shortcase_bench vfatfs -j2
	python3 bench/run.py

# Longer fuzzing runs of the splitter and of the FAT format than those in `make test`, each
# FUZZ_SECONDS; new inputs stay in build/.
FUZZ_SECONDS ?= 600
fuzz: deps
	cmake -S . -B $(HOST) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(HOST) --target cmdline_fuzz fat_fuzz
	mkdir -p $(HOST)/tests/fuzz/scratch-corpus $(HOST)/tests/fuzz/fat-scratch-corpus
	$(HOST)/tests/fuzz/cmdline_fuzz -max_total_time=$(FUZZ_SECONDS) -dict=tests/fuzz/cmdline.dict \
		-artifact_prefix=$(HOST)/tests/fuzz/ -print_final_stats=1 \
		$(HOST)/tests/fuzz/scratch-corpus tests/fuzz/corpus
	$(HOST)/tests/fuzz/fat_fuzz -max_total_time=$(FUZZ_SECONDS) \
		-artifact_prefix=$(HOST)/tests/fuzz/fat- -print_final_stats=1 \
		$(HOST)/tests/fuzz/fat-scratch-corpus tests/fuzz/fat-corpus

clean:
	rm -rf build dist
