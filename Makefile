# Two entry points; everything else lives in scripts/ and the CMake presets.
.PHONY: demo test clean

demo:
	bash scripts/demo.sh

test:
	bash scripts/test.sh

clean:
	rm -rf build
