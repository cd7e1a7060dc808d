# Three entry points; everything else lives in scripts/ and the CMake presets.
.PHONY: demo test bench clean

demo:
	bash scripts/demo.sh

test:
	bash scripts/test.sh

bench:
	bash bench/run.sh

clean:
	rm -rf build
