# Calls the stubs must reject: each line after the imports is type-checked on its own.
import dask.array
import numpy
import numpy.typing
import vekracore as vk
import vekra_dask
import vekra_numpy as vn

vk.dot(vk.vecs(2), vk.vecd(2))  # misuse: element types differ
vk.hdot(vk.vecd(1), vk.vecd(1))  # misuse: hdot takes complex elements only
vk.scale(1j, vk.vecd(2))  # misuse: a complex factor for real elements
vk.swap(vk.vecd(2), vk.vecz(2))  # misuse: swap between element types
vk.scale(arg0=2.0, arg1=vk.vecd(2))  # misuse: the arguments are positional only
vk.scale(alpha=2.0, x=vk.vecd(2))  # misuse: named in the stubs, still positional only
vk.scale(2.0)  # misuse: the operand is missing
vk.gemv(1.0, 0.0, vk.matd(2, 2), vk.vecd(2))  # misuse: gemv takes five arguments
vk.gemv(1.0, 0.0, vk.vecd(4), vk.vecd(2), vk.vecd(2))  # misuse: gemv's A is a matrix
vk.matvec(vk.vecd(4), vk.vecd(2), vk.vecd(2))  # misuse: matvec's A is a matrix
wrong: vk.vecs = vk.scale(2.0, vk.vecd(2))  # misuse: scale returns its operand, a vecd
real: float = vk.hdot(vk.vecz(1), vk.vecz(1))  # misuse: hdot returns a complex number
size: str = vk.vecd(2).numel()  # misuse: numel is an int
vk.vecd(2.5)  # misuse: sizes are integers
vk.matd(2, 2)[0]  # misuse: a matrix element is indexed by a pair
vk.viewd.numel()  # misuse: numel is a method of an instance
vk.model(3)  # misuse: a model loads from a path
vk.model("m.onnx").set(0, [0, 0], 1j)  # misuse: model tensors are float tensors
vn.load_model("m.onnx", optimization="fast")  # misuse: not an optimization level
vn.load_model(3)  # misuse: a path is a str, bytes or os.PathLike
vn.ModelSpec("m.onnx", optimization="none")  # misuse: not an optimization level
vn.describe(["m.onnx"])  # misuse: one path, not a list of them
vn.asarray(3)  # misuse: asarray takes a vekracore container
vn.asarray(vk.model("m.onnx"))  # misuse: a model is not a container
singles: numpy.typing.NDArray[numpy.float64] = vn.asarray(vk.vecs(2))  # misuse: a vecs holds float32
vn.inputs("m")  # misuse: inputs takes a vekracore.model
vn.outputs(vk.vecd(2))  # misuse: outputs takes a vekracore.model
vn.run_async("m.onnx")  # misuse: run_async takes a loaded model
names: list[bytes] = vn.input_names(vk.model("m.onnx"))  # misuse: names are str
loaded: vk.vecd = vn.load_model("m.onnx")  # misuse: load_model gives a vekracore.model
vekra_dask.map_model(vn.ModelSpec("m.onnx"), dask.array.zeros((4, 3)), ["y"])  # misuse: outputs is keyword-only
vekra_dask.map_model("m.onnx", dask.array.zeros((4, 3)))  # misuse: map_model takes a ModelSpec
vekra_dask.map_model(vn.ModelSpec("m.onnx"), numpy.zeros((4, 3)))  # misuse: x is a dask array or a mapping of them
scores: dask.array.Array = vekra_dask.map_model(vn.ModelSpec("m.onnx"), dask.array.zeros((4, 3)))  # misuse: a list
