// QuoyaCore: the island display library; its parts live beside this file.
namespace quoya {}
